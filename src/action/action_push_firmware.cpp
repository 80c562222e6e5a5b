// push_firmware: validates a firmware package (or raw image), checks its
// information block, uploads the image and asks the controller to apply it.
#include <string>

#include "action/actions.h"
#include "common/firmware_record.h"
#include "common/limits.h"
#include "firmware/firmware_package.h"
#include "firmware/firmware_push.h"
#include "transfer/transfer.h"
#include "window/window.h"

int action_push_firmware(const char* address, const char* path) {
    if (!address) {
        console_printf("Missing arguments for action push_firmware.");
        return EXIT_USAGE;
    }
    std::string base;
    if (!base_url_for(address, &base)) return EXIT_FAILED;
    firmware_record record;
    unsigned char digest[32];
    if (firmware_validate(path, &record, digest) != 0) return EXIT_FAILED;
    if (firmware_info_check(record.data, record.size) != 0) {
        console_printf("FIRMWARE FILE IS NOT VALID!");
        return EXIT_FAILED;
    }
    if (firmware_push_tftp(address, &record, true) != 0) return EXIT_FAILED;
    console_printf("OK\n");
    if (firmware_upgrade_request(address, digest, record.size) != 0) return EXIT_FAILED;
    console_printf("OK\n");
    return EXIT_DONE;
}
