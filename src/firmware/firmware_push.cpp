#include "firmware/firmware_push.h"

#include <cstring>
#include <string>

#include "common/firmware_record.h"
#include "firmware/firmware_package.h"
#include "firmware/hex.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

// Offsets of the fields within the block.
constexpr std::size_t INFO_TEXT = 33;
constexpr std::size_t INFO_VERSION_NUMBER = 112;
constexpr std::size_t INFO_CHANNELS = 182;

const char* const KNOWN_MODELS[] = {"TARNEL-4", "TARNEL-3", "TARNEL-2", "TARNEL-1"};

void copy_text(char (&out)[INFO_TEXT], const unsigned char* from) { std::memcpy(out, from, INFO_TEXT); }

}  // namespace

namespace {

void decode_block(const unsigned char* block, firmware_info* info) {
    copy_text(info->model_name, block + 12);
    copy_text(info->model_description, block + 45);
    copy_text(info->version_string, block + 78);
    info->version_number = static_cast<std::uint32_t>(block[INFO_VERSION_NUMBER]) |
                           static_cast<std::uint32_t>(block[INFO_VERSION_NUMBER + 1]) << 8 |
                           static_cast<std::uint32_t>(block[INFO_VERSION_NUMBER + 2]) << 16 |
                           static_cast<std::uint32_t>(block[INFO_VERSION_NUMBER + 3]) << 24;
    copy_text(info->version_date, block + 116);
    copy_text(info->version_time, block + 149);
    info->dali_number_of_channel = block[INFO_CHANNELS];
}

// The check of an image of `size` bytes whose block (null: none) is given.
int check_block(const unsigned char* block, std::uint64_t size) {
    if (size < 1 || size > FIRMWARE_IMAGE_MAX || !block) return 1;
    firmware_info info;
    decode_block(block, &info);
    bool known = false;
    for (const char* model : KNOWN_MODELS) {
        if (std::memcmp(info.model_name, model, 8) == 0 && info.model_name[8] == '\0') known = true;
    }
    if (!known) return -1;
    // Texts are printed up to their first NUL and never past their field.
    auto text = [](const char(&field)[INFO_TEXT]) { return std::string(field, strnlen(field, INFO_TEXT)); };
    log_printf("== Firmware Info ==");
    log_printf("model_name=%s", text(info.model_name).c_str());
    log_printf("model_description=%s", text(info.model_description).c_str());
    log_printf("version_string=%s", text(info.version_string).c_str());
    log_printf("version_number=%u", info.version_number);
    log_printf("version_date=%s", text(info.version_date).c_str());
    log_printf("version_time=%s", text(info.version_time).c_str());
    log_printf("dali_number_of_channel=%u", static_cast<unsigned>(info.dali_number_of_channel));
    log_printf("== ==");
    return 0;
}

// The block of a prepared image: in memory, or kept as the image passed by
// on its way to the spool; null when the image is too short to hold it.
const unsigned char* record_block(const firmware_record& record) {
    if (record.size < FIRMWARE_INFO_OFFSET + FIRMWARE_INFO_SIZE) return nullptr;
    if (record.data) return record.data + FIRMWARE_INFO_OFFSET;
    return record.spool ? record.info_block.data() : nullptr;
}

}  // namespace

int firmware_info_read(const unsigned char* image, std::uint64_t size, firmware_info* info) {
    if (!image || !info || size < FIRMWARE_INFO_OFFSET + FIRMWARE_INFO_SIZE) return 1;
    decode_block(image + FIRMWARE_INFO_OFFSET, info);
    return 0;
}

int firmware_info_check(const unsigned char* image, std::uint64_t size) {
    if (!image) return 1;
    return check_block(size >= FIRMWARE_INFO_OFFSET + FIRMWARE_INFO_SIZE ? image + FIRMWARE_INFO_OFFSET : nullptr,
                       size);
}

int firmware_record_info(const firmware_record& record, firmware_info* info) {
    const unsigned char* block = record_block(record);
    const int result = check_block(block, record.size);
    if (result == 0) decode_block(block, info);
    return result;
}

int firmware_upgrade_request(const controller_link& link, const unsigned char digest[32], std::uint64_t size) {
    if (!digest) return 1;
    char hex[65];
    if (hex_encode(digest, 32, hex) != 0) return 1;
    std::string url = endpoint_url(link, endpoint::firmware_apply, hex, std::to_string(size));
    console_printf("%s\tpushing URL '%s'.\n", "firmware", url.c_str());
    log_printf("Applying firmware upgrade... PLEASE WAIT...");
    transfer_result result;
    int failed = http_trigger(link.settings, url, reply_sink::standard_output, &result);
    if (failed && result.code != 0) {
        log_printf_color(COLOR_RED, "Firmware push failed, %s.", transfer_error_text(result.code));
        if (result.timed_out) {
            log_printf_color(COLOR_ORANGE,
                             "[WARN] The controller may still be applying the image; its status "
                             "(--action get_status) tells which firmware it runs.");
        }
    }
    log_printf("Verifying firmware upgrade... PLEASE WAIT...");
    return failed;
}
