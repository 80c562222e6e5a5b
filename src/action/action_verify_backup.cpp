// verify_backup: checks a backup (archive, folder or single set tar) without
// any network: the tool record passes the restore's version gate, every
// member is one a backup holds, every set tar reads to its end and holds its
// file and "status.txt", every channel file and channel inputs file has a
// known layout, its size and a valid CRC, and "flashfs.bin" is whole.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/backup_source.h"
#include "backup/config_sets.h"
#include "channel/channel_fields.h"
#include "common/limits.h"
#include "tar/tar.h"
#include "window/window.h"

namespace {

struct verify_run {
    backup_source source;
    verify_outcome* outcome;
    unsigned problems = 0;
    unsigned sets = 0;

    void problem(const std::string& member, const std::string& what) {
        ++problems;
        log_printf_color(COLOR_RED, "%s: %s", shown_name(member).c_str(), what.c_str());
        outcome->problems.emplace_back(member, what);
    }

    // The member's bytes, or a problem and false.
    bool read(const std::string& member, std::vector<unsigned char>* out) {
        const int code = backup_source_read(&source, member, out);
        if (code == BACKUP_SOURCE_OK) return true;
        problem(member, backup_source_error(code));
        return false;
    }

    void check_tool_record() {
        std::vector<unsigned char> text;
        if (!read("tool.txt", &text)) return;
        text.push_back('\0');
        if (!tool_record_accepted(reinterpret_cast<const char*>(text.data()))) {
            problem("tool.txt", "not written by this tool at this version or an older one");
        }
    }

    void check_flash_image() {
        std::vector<unsigned char> image;
        if (read("flashfs.bin", &image) && image.size() != FLASH_IMAGE_SIZE) {
            problem("flashfs.bin",
                    std::to_string(image.size()) + " bytes, expected " + std::to_string(FLASH_IMAGE_SIZE));
        }
    }

    void check_set(const std::string& member, const restore_config_entry& entry) {
        ++sets;
        std::vector<unsigned char> tar;
        if (!read(member, &tar)) return;
        std::vector<tar_header> headers;
        bool cut = false;
        const int listed = tar_mem_list(tar.data(), tar.size(), &headers, &cut);
        if (listed != TAR_OK) {
            problem(member, cut ? "the tar ends inside its member " + shown_name(headers.back().name)
                                : "the tar does not read to its end (tar code " + std::to_string(listed) + " after " +
                                      std::to_string(headers.size()) + " members)");
            return;  // what a damaged tar lacks says nothing more
        }
        bool has_file = false, has_status = false;
        for (const tar_header& header : headers) {
            has_file = has_file || entry.path == header.name;
            has_status = has_status || std::string("status.txt") == header.name;
        }
        if (!has_status) problem(member, "no status.txt");
        if (!has_file) {
            problem(member, "no " + entry.path);
            return;
        }
        const config_set_layout layout = config_set_layout_of(entry.index);
        if (layout == config_set_layout::none) return;
        if (tar_mem_member_take(&tar, entry.path.c_str()) != TAR_OK) {
            problem(member, entry.path + " cannot be read");
            return;
        }
        const channel_file_kind kind =
            layout == config_set_layout::channel ? channel_file_kind::channel : channel_file_kind::inputs;
        const std::string what = channel_file_problem(kind, tar.data(), tar.size());
        if (!what.empty()) problem(member, entry.path + ": " + what);
    }
};

}  // namespace

int action_verify_backup(const char* path, verify_outcome* outcome) {
    verify_outcome local;
    verify_run run;
    run.outcome = outcome ? outcome : &local;
    const int opened = backup_source_open(path, &run.source);
    if (opened != BACKUP_SOURCE_OK) {
        log_printf_color(COLOR_RED, "%s: %s.", shown_name(path).c_str(),
                         backup_source_error(opened == BACKUP_SOURCE_NOT_FOUND ? opened : BACKUP_SOURCE_NOT_A_BACKUP));
        return EXIT_USAGE;
    }
    // Readers take the first of two members of one name: a second copy is
    // never checked, and a restore refuses such a backup.
    for (const std::string& duplicate : backup_source_duplicates(run.source)) {
        run.problem(duplicate, "more than once in the backup");
    }
    // A single set tar is one set, not a backup: it has no tool record and
    // no flash image to miss.
    if (run.source.kind != backup_source_kind::set_tar) {
        for (const char* needed : {"tool.txt", "flashfs.bin"}) {
            if (!backup_source_has(run.source, needed)) run.problem(needed, "missing");
        }
    }
    std::vector<std::string> seen;
    for (const std::string& member : std::vector<std::string>(run.source.members)) {
        if (std::find(seen.begin(), seen.end(), member) != seen.end()) continue;  // a duplicate, named above
        seen.push_back(member);
        if (member == "tool.txt") {
            run.check_tool_record();
        } else if (member == "flashfs.bin") {
            run.check_flash_image();
        } else if (member == "log.txt") {
            std::vector<unsigned char> log;
            run.read(member, &log);
        } else if (const restore_config_entry* entry = restore_config_find(member)) {
            run.check_set(member, *entry);
        } else {
            run.problem(member, "not a member of a backup");
        }
    }
    log_printf_color(run.problems == 0 ? COLOR_GREEN : COLOR_RED, "%u configuration sets checked, %u problems.",
                     run.sets, run.problems);
    run.outcome->sets_checked = run.sets;
    return run.problems == 0 ? EXIT_DONE : EXIT_FAILED;
}
