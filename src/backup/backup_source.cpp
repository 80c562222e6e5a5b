// Reading a backup archive, a backup folder or a single set tar as members.
#include "backup/backup_source.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "backup/backup_check.h"
#include "backup/config_sets.h"
#include "common/handles.h"
#include "platform/platform.h"
#include "tar/tar.h"
#include "transfer/transfer.h"

namespace fs = std::filesystem;

namespace {

// Reads a whole file of at most BACKUP_MEMBER_LIMIT bytes.
int read_file(const fs::path& path, std::vector<unsigned char>* out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return BACKUP_SOURCE_NOT_FOUND;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return BACKUP_SOURCE_UNREADABLE;
    if (size > BACKUP_MEMBER_LIMIT) return BACKUP_SOURCE_TOO_LARGE;
    file_ptr file(platform_fopen(platform_fs_text(path).c_str(), "rb"));
    if (!file) return BACKUP_SOURCE_UNREADABLE;
    std::vector<unsigned char> data(static_cast<std::size_t>(size));
    if (size != 0 && std::fread(data.data(), 1, data.size(), file.get()) != data.size())
        return BACKUP_SOURCE_UNREADABLE;
    // A file that grew since its size was taken is read no further.
    *out = std::move(data);
    return BACKUP_SOURCE_OK;
}

// The archive member name of a single set tar: "<set>.tar" for the first
// member that is a set's device path, else the file's own name.
std::string set_tar_member_name(const std::vector<tar_header>& headers, const fs::path& path) {
    for (const tar_header& header : headers) {
        for (const restore_config_entry& entry : restore_config_table()) {
            if (entry.path == header.name) return entry.tar_name;
        }
    }
    return platform_fs_text(path.filename());
}

}  // namespace

int backup_source_open(const char* path, backup_source* source) {
    *source = backup_source{};
    source->tar_code = TAR_OPEN_FAILED;
    if (path == nullptr || *path == '\0') return BACKUP_SOURCE_NOT_FOUND;
    source->path = path;
    const fs::path where = platform_fs_path(path);
    std::error_code ec;
    const fs::file_status status = fs::status(where, ec);
    if (ec || !fs::exists(status)) return BACKUP_SOURCE_NOT_FOUND;
    source->tar_code = TAR_OK;

    if (fs::is_directory(status)) {
        source->kind = backup_source_kind::folder;
        for (fs::directory_iterator it(where, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = platform_fs_text(it->path().filename());
            std::error_code type_ec;
            if (it->is_directory(type_ec)) name += '/';
            source->members.push_back(std::move(name));
        }
        if (ec) return BACKUP_SOURCE_UNREADABLE;
        std::sort(source->members.begin(), source->members.end());
        return BACKUP_SOURCE_OK;
    }

    if (mzsimple_ptr zip = mzsimple_open(path, 0, 'r')) {
        source->kind = backup_source_kind::archive;
        const std::int64_t count = mzsimple_entry_count(zip.get());
        for (std::int64_t i = 0; i < count; ++i) {
            mzsimple_entry_open_index(zip.get(), i);
            std::string name = mzsimple_entry_name(zip.get());
            if (mzsimple_entry_is_dir(zip.get()) == 1 && (name.empty() || name.back() != '/')) name += '/';
            source->members.push_back(std::move(name));
        }
        source->zip = std::move(zip);
        return BACKUP_SOURCE_OK;
    }

    // Not a zip: a tar whose first header reads (the code of that read
    // names the trouble, as for any tar file) and that reads to its end.
    tar_archive first;
    source->tar_code = tar_open(&first, path, "r");
    if (source->tar_code != TAR_OK) return BACKUP_SOURCE_NOT_A_BACKUP;
    tar_close(&first);
    std::vector<unsigned char> bytes;
    if (read_file(where, &bytes) != BACKUP_SOURCE_OK) {
        source->tar_code = TAR_READ_FAILED;
        return BACKUP_SOURCE_NOT_A_BACKUP;
    }
    std::vector<tar_header> headers;
    source->tar_code = tar_mem_list(bytes.data(), bytes.size(), &headers);
    if (source->tar_code != TAR_OK || headers.empty()) {
        if (source->tar_code == TAR_OK) source->tar_code = TAR_NULL_RECORD;
        return BACKUP_SOURCE_NOT_A_BACKUP;
    }
    source->kind = backup_source_kind::set_tar;
    source->members.push_back(set_tar_member_name(headers, where));
    source->tar = std::move(bytes);
    return BACKUP_SOURCE_OK;
}

void backup_source_open_controller(const controller_link& link, backup_source* source) {
    *source = backup_source{};
    source->kind = backup_source_kind::controller;
    source->path = link.address;
    source->link = &link;
    for (const std::string& name : backup_config_list()) source->members.push_back(name + ".tar");
}

bool backup_source_has(const backup_source& source, const std::string& member) {
    return std::find(source.members.begin(), source.members.end(), member) != source.members.end();
}

std::vector<std::string> backup_source_duplicates(const backup_source& source) {
    std::vector<std::string> sorted = source.members;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> duplicates;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i] == sorted[i - 1] && (duplicates.empty() || duplicates.back() != sorted[i]))
            duplicates.push_back(sorted[i]);
    }
    return duplicates;
}

int backup_source_read(backup_source* source, const std::string& member, std::vector<unsigned char>* out) {
    out->clear();
    const auto found = std::find(source->members.begin(), source->members.end(), member);
    if (found == source->members.end() || (!member.empty() && member.back() == '/')) return BACKUP_SOURCE_NOT_FOUND;
    switch (source->kind) {
        case backup_source_kind::folder:
            return read_file(platform_fs_path(source->path) / platform_fs_path(member), out);
        case backup_source_kind::set_tar: *out = source->tar; return BACKUP_SOURCE_OK;
        case backup_source_kind::archive: {
            mzsimple* zip = source->zip.get();
            if (mzsimple_entry_open_index(zip, found - source->members.begin()) != 0) return BACKUP_SOURCE_UNREADABLE;
            if (mzsimple_entry_size(zip) > BACKUP_MEMBER_LIMIT) return BACKUP_SOURCE_TOO_LARGE;
            return mzsimple_entry_read(zip, out) < 0 ? BACKUP_SOURCE_UNREADABLE : BACKUP_SOURCE_OK;
        }
        case backup_source_kind::controller: {
            const std::string set_name = member.substr(0, member.size() - 4);  // without ".tar"
            backup_set_data set;
            const int fetched = backup_fetch_set(*source->link, set_name.c_str(), &set);
            if (fetched == BACKUP_FETCH_TRANSFER_FAILED) return BACKUP_SOURCE_FETCH_FAILED;
            switch (backup_set_classify(set_name.c_str(), fetched, set)) {
                case backup_set_state::absent: return BACKUP_SOURCE_NOT_FOUND;
                case backup_set_state::damaged: return BACKUP_SOURCE_DAMAGED;
                case backup_set_state::present: *out = std::move(set.data); return BACKUP_SOURCE_OK;
            }
            return BACKUP_SOURCE_DAMAGED;
        }
    }
    return BACKUP_SOURCE_NOT_FOUND;
}

int backup_source_set_file(backup_source* source, const restore_config_entry& entry, std::vector<unsigned char>* out) {
    const int code = backup_source_read(source, entry.tar_name, out);
    if (code != BACKUP_SOURCE_OK) return code;
    if (tar_mem_member_take(out, entry.path.c_str()) == TAR_OK) return BACKUP_SOURCE_OK;
    out->clear();
    return BACKUP_SOURCE_NO_SET_FILE;
}

const char* backup_source_error(int code) {
    switch (code) {
        case BACKUP_SOURCE_OK: return "no error";
        case BACKUP_SOURCE_NOT_FOUND: return "not found";
        case BACKUP_SOURCE_NOT_A_BACKUP: return "neither a backup archive, a backup folder nor a tar";
        case BACKUP_SOURCE_TOO_LARGE: return "larger than 64 MiB";
        case BACKUP_SOURCE_UNREADABLE: return "cannot be read";
        case BACKUP_SOURCE_NO_SET_FILE: return "holds no readable file under the set's device path";
        case BACKUP_SOURCE_DAMAGED: return "is damaged";
        case BACKUP_SOURCE_FETCH_FAILED: return "could not be fetched";
    }
    return "unknown error";
}
