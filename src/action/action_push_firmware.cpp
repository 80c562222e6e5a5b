// push_firmware: validates a firmware package (or raw image), checks its
// information block, makes sure the controller is of the image's model,
// uploads the image, asks the controller to apply it and then waits for the
// controller to come back with the image's version.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "action/actions.h"
#include "common/firmware_record.h"
#include "common/limits.h"
#include "firmware/firmware_package.h"
#include "firmware/firmware_push.h"
#include "platform/platform.h"
#include "status/status.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

using steady = std::chrono::steady_clock;

// How often the status is read while the controller restarts.
constexpr auto STATUS_INTERVAL = std::chrono::seconds(2);

// A text field of the information block, up to its first NUL.
std::string info_text(const char (&field)[33]) { return std::string(field, strnlen(field, sizeof field)); }

// An image written onto a controller of another model can leave it unable
// to start, so a status naming another model stops the upgrade before any
// byte is sent. A status that cannot be read (an older firmware, a busy
// controller) does not: the technician is told the model went unchecked.
int check_controller_model(const controller_link& link, const std::string& image_model, firmware_outcome* outcome) {
    status_record status;
    bool readable = status_get(link, &status) == 0 && status.model_name && !status.model_name->empty();
    std::string controller_model = readable ? *status.model_name : std::string();
    if (readable) {
        outcome->controller = status_pairs_of(status);
        outcome->firmware_before = status.firmware_version;
    }
    status_release(&status);
    if (!readable) {
        log_printf_color(COLOR_ORANGE, "[WARN] Could not read the controller's model; its model is not checked.");
        return EXIT_DONE;
    }
    if (controller_model != image_model) {
        log_printf_color(COLOR_RED, "Firmware is for %s, but the controller is a %s. Nothing was uploaded.",
                         image_model.c_str(), controller_model.c_str());
        return EXIT_FAILED;
    }
    return EXIT_DONE;
}

void show_waiting(steady::duration elapsed) {
    char text[80];
    std::snprintf(text, sizeof text, "Waiting for the controller to restart... %lld s",
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
    progress_text(text);
}

// Reads the controller's status every STATUS_INTERVAL (a read that takes
// longer is followed by the next one at once) until it reports the image's
// model and version, or until `wait_seconds` have passed since the apply
// request was answered; the last read falls on that deadline. A status with
// another version is not a failure before the deadline: the controller may
// not have restarted yet. A status naming another model ends the wait at
// once; a status without a model confirms nothing.
int confirm_firmware(const controller_link& link, const std::string& model, const std::string& version,
                     unsigned wait_seconds, firmware_outcome* outcome) {
    log_printf("Waiting for the controller to restart...");
    const steady::time_point start = steady::now();
    const steady::time_point deadline = start + std::chrono::seconds(wait_seconds);
    steady::time_point next_read = start + STATUS_INTERVAL;
    std::optional<std::string> seen;  // the version of the last status that named the model
    bool nameless = false;            // a status without a model arrived
    for (;;) {
        next_read = std::min(next_read, deadline);
        for (steady::time_point now = steady::now(); now < next_read; now = steady::now()) {
            show_waiting(now - start);
            auto pause = std::min<steady::duration>(next_read - now, std::chrono::seconds(1));
            platform_sleep_ms(static_cast<unsigned>(
                std::max<long long>(std::chrono::ceil<std::chrono::milliseconds>(pause).count(), 1)));
        }
        show_waiting(steady::now() - start);
        const steady::time_point read_started = steady::now();
        status_record status;
        // A failed read only means "no answer yet".
        const bool named = status_get(link, &status) == 0;
        const std::string reported_model = named ? *status.model_name : std::string();
        const std::optional<std::string> reported_version = status.firmware_version;
        status_release(&status);
        if (named && reported_model != model) {
            progress_hide();
            log_printf_color(COLOR_RED, "The controller now reports model %s, not %s.", reported_model.c_str(),
                             model.c_str());
            return EXIT_FAILED;
        }
        nameless = nameless || (!named && reported_version);
        if (named && reported_version) seen = *reported_version;
        outcome->firmware_after = seen;
        if (named && reported_version == version) {
            progress_hide();
            log_printf_color(COLOR_GREEN, "Controller runs firmware %s.", version.c_str());
            return EXIT_DONE;
        }
        const steady::time_point now = steady::now();
        if (now >= deadline) break;
        next_read = std::max(read_started + STATUS_INTERVAL, now);
    }
    progress_hide();
    if (seen) {
        log_printf_color(COLOR_RED, "The controller answers with firmware %s, not %s.", seen->c_str(), version.c_str());
    } else if (nameless) {
        log_printf_color(COLOR_RED, "The controller's status names no model; firmware %s is not confirmed.",
                         version.c_str());
    } else {
        log_printf_color(COLOR_RED, "The controller did not answer within %u seconds after the upgrade.", wait_seconds);
    }
    return EXIT_FAILED;
}

// Whether a run with --check or --ifchanged has nothing left to do: the
// controller already runs the image's version on the image's model (a
// controller whose status could not be read may run anything).
bool same_firmware(const change_mode& mode, firmware_outcome* outcome) {
    if (!mode.check && !mode.ifchanged) return false;
    const bool same = !outcome->controller.empty() && outcome->firmware_before == outcome->version_string;
    outcome->changed = !same;
    if (same) {
        log_printf_info("The controller already runs firmware %s; nothing %s uploaded.",
                        outcome->version_string.c_str(), mode.check ? "would be" : "was");
    } else if (mode.check) {
        log_printf_info("Firmware %s would be uploaded (the controller runs %s).", outcome->version_string.c_str(),
                        outcome->firmware_before ? outcome->firmware_before->c_str() : "an unknown version");
    }
    return same || mode.check;
}

}  // namespace

int action_push_firmware(const controller_link& link, const char* path, unsigned wait_seconds, const change_mode& mode,
                         firmware_outcome* outcome) {
    firmware_outcome local;
    firmware_outcome& result = outcome ? *outcome : local;
    firmware_record record;
    unsigned char digest[32];
    if (firmware_validate(path, &record, digest) != 0) return EXIT_FAILED;
    firmware_info info;
    if (firmware_record_info(record, &info) != 0) {
        console_printf("FIRMWARE FILE IS NOT VALID!");
        return EXIT_FAILED;
    }
    result.model_name = info_text(info.model_name);
    result.version_string = info_text(info.version_string);
    if (check_controller_model(link, result.model_name, &result) != EXIT_DONE) return EXIT_FAILED;
    if (same_firmware(mode, &result)) return EXIT_DONE;
    if (mode.before_change && mode.before_change(mode.context) != 0) return EXIT_FAILED;
    if (firmware_push_tftp(link, &record, true) != 0) return EXIT_FAILED;
    result.uploaded = true;
    console_printf("OK\n");
    const int applied = firmware_upgrade_request(link, digest, record.size);
    // A refused or unanswered apply request may still have been taken.
    result.changed = true;
    if (applied != 0) return EXIT_FAILED;
    console_printf("OK\n");
    if (wait_seconds == 0) return EXIT_DONE;
    return confirm_firmware(link, result.model_name, result.version_string, wait_seconds, &result);
}
