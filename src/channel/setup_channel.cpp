// The setup_channel action: applies one CSV file to each named DALI channel
// and uploads the resulting channel file (or channel inputs file).
//
// For every channel: fetch the channel's configuration set ("dali<n>"), read
// its channel file, apply the CSV file, wrap the written file in a
// one-member tar and push it with the restore trigger. Nothing damaged or
// empty is ever pushed: a channel whose file, firmware version or CSV file
// is missing, or whose writer fails, is left as it is on the controller.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backup/backup_check.h"
#include "channel/channel_file.h"
#include "import/csv_common.h"
#include "import/importcsv.h"
#include "import/importcsv_cd.h"
#include "import/importcsv_groups.h"
#include "main/actions.h"
#include "tar/tar.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

// The three kinds of run; the first file list given decides.
struct setup_kind {
    int (*import)(const backup_set_data* set, const char* path, channel_record* record);
    int (*write)(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record);
    bool needs_channel_file;  // the pushed file is built on the controller's channel file
};

const setup_kind CHANNEL_RUN = {importcsv, channel_file_write, true};
const setup_kind GROUPS_RUN = {importcsv_groups, channel_file_write, true};
const setup_kind INPUTS_RUN = {importcsv_cd, inputs_file_write, false};

enum class channel_outcome { pushed, failed, end_run };

void list_tar(const std::vector<unsigned char>& bytes) {
    tar_mem_block block{bytes.data(), bytes.size()};
    tar_archive tar;
    tar_mem_open_read(&tar, &block);
    console_printf("%s\tbackup file contains: \r\n", "backup");
    tar_header header;
    while (tar_read_header(&tar, &header) != TAR_NULL_RECORD) {
        console_printf("\t%s (%d bytes)\r\n", header.name, static_cast<int>(header.size));
        if (int code = tar_next(&tar); code != TAR_OK) {
            console_printf("\tfile error %d.\r\n", code);
            break;
        }
    }
}

channel_outcome set_up_channel(const setup_kind& kind, const char* address, std::uint32_t channel,
                               const char* csv_path) {
    std::string base;
    if (!base_url_for(address, &base)) return channel_outcome::failed;
    char set_name[32];
    std::snprintf(set_name, sizeof set_name, "dali%u", channel);

    backup_set_data set;
    if (backup_fetch(base.c_str(), set_name, &set) != 0) return channel_outcome::failed;
    console_printf("OK\n");

    std::vector<unsigned char> tar_bytes;
    tar_archive tar;
    tar_mem_open_write(&tar, &tar_bytes);
    channel_record record;
    console_printf("CH=%u\n", channel);
    console_printf("FILE=%s\n", csv_path);

    if (!set.firmware_version) {
        log_printf_color(COLOR_RED, "Firmware version unknown, channel %u not set up.", channel);
        return channel_outcome::failed;
    }
    if (channel_file_read(&set, channel, &record) != CHANNEL_FILE_OK && kind.needs_channel_file) {
        // Pushing the zero image in its place would wipe the channel.
        return channel_outcome::failed;
    }
    switch (kind.import(&set, csv_path, &record)) {
        case IMPORTCSV_OPEN_FAILED:
            log_printf_color(COLOR_RED, "Cannot open CSV file '%s'.", csv_path);
            return channel_outcome::failed;
        case IMPORTCSV_PARSE_FAILED:
        case IMPORTCSV_UNSUPPORTED:
            return channel_outcome::end_run;
        case IMPORTCSV_DONE:
            break;
        default:
            return channel_outcome::failed;
    }
    switch (kind.write(&tar, &set, channel, &record)) {
        case CHANNEL_FILE_OK:
            break;
        case CHANNEL_FILE_UNSUPPORTED:
            return channel_outcome::end_run;
        default:
            return channel_outcome::failed;
    }
    if (tar_finalize(&tar) != TAR_OK) return channel_outcome::failed;
    list_tar(tar_bytes);
    if (backup_push(base.c_str(), address, tar_bytes.data(), tar_bytes.size()) != 0) return channel_outcome::failed;
    console_printf("OK\n");
    return channel_outcome::pushed;
}

}  // namespace

int action_setup_channel(const char* address, const std::vector<std::uint32_t>* channels,
                         const std::vector<std::string>* channel_csv_files,
                         const std::vector<std::string>* groups_csv_files,
                         const std::vector<std::string>* inputs_csv_files) {
    const bool have_files = channel_csv_files || groups_csv_files || inputs_csv_files;
    if (!channels || !address || !have_files) {
        console_printf("Missing arguments for action setup_channel.");
        return 2;
    }
    auto channel_at = [&](std::size_t i) -> std::uint32_t { return i < channels->size() ? (*channels)[i] : 0; };
    if (channel_at(0) == 0) return 1;

    const setup_kind& kind = channel_csv_files ? CHANNEL_RUN : groups_csv_files ? GROUPS_RUN : INPUTS_RUN;
    const std::vector<std::string>& files =
        channel_csv_files ? *channel_csv_files : groups_csv_files ? *groups_csv_files : *inputs_csv_files;

    bool all_pushed = true;
    // Channel i goes with file i; the run ends with the files, or at the
    // channel list's end (an entry 0).
    for (std::size_t i = 0; i < files.size(); ++i) {
        channel_outcome outcome = set_up_channel(kind, address, channel_at(i), files[i].c_str());
        if (outcome == channel_outcome::end_run) return 1;
        if (outcome == channel_outcome::failed) all_pushed = false;
        if (channel_at(i + 1) == 0) break;
    }
    return all_pushed ? 0 : 1;
}
