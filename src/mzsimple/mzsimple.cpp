#include "mzsimple/mzsimple.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "common/output_file.h"
#include "platform/platform.h"

namespace {

std::string slashes(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// The folder of a path must exist and be writable for an archive to be
// created there; libzip itself only finds out when the archive is closed.
bool folder_writable(const std::string& path) {
    const std::size_t slash = platform_last_separator(path);
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    if (folder.back() == ':') folder += PLATFORM_PATH_SEPARATOR;  // the root of a Windows drive, "C:\"
    return platform_folder_writable(folder.c_str());
}

bool selected_valid(const mzsimple* zip) { return zip && zip->archive && zip->selected >= 0; }

// How many names a new archive tries before it gives up.
constexpr unsigned NAME_TRIES = 9999;

// An archive over the memory buffer; it takes a reference of its own.
zip_ptr open_in_memory(zip_source_t* memory, int flags) {
    zip_source_keep(memory);
    zip_error_t error;
    zip_error_init(&error);
    zip_t* archive = zip_open_from_source(memory, flags, &error);
    zip_error_fini(&error);
    if (!archive) zip_source_free(memory);  // the reference it did not take
    return zip_ptr(archive);
}

// Writes the archive into its memory buffer and copies the bytes out; the
// archive is closed afterwards.
bool write_to_memory(mzsimple* zip, std::vector<unsigned char>* bytes) {
    zip_t* archive = zip->archive.release();
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        return false;
    }
    zip_source_t* memory = zip->memory.get();
    if (zip_source_is_deleted(memory)) return false;  // no members: libzip writes no archive
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(memory, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0 || zip_source_open(memory) != 0) {
        return false;
    }
    bool ok = false;
    try {
        bytes->resize(st.size);
        ok = zip_source_read(memory, bytes->data(), st.size) == static_cast<zip_int64_t>(st.size);
    } catch (const std::bad_alloc&) {}
    zip_source_close(memory);
    return ok;
}

// "name.zip", then "name_2.zip", "name_3.zip", ...: the number goes before
// the extension of the file name, or at its end when it has none.
std::string numbered_name(const std::string& path, unsigned number) {
    if (number <= 1) return path;
    const std::size_t slash = platform_last_separator(path);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= start) dot = path.size();
    return path.substr(0, dot) + "_" + std::to_string(number) + path.substr(dot);
}

// Whether a file (or a link, even a broken one) has the name already. Only
// saves writing the archive for names that are plainly taken: the commit
// itself decides.
bool name_in_use(const std::string& name) { return platform_path_exists(name.c_str()); }

// Commits a new archive under the first free name.
int close_new(mzsimple* zip, std::string* written, mzsimple_naming_fn naming, void* context) {
    for (unsigned number = 1; number <= NAME_TRIES; ++number) {
        const std::string name = numbered_name(zip->path, number);
        if (name_in_use(name)) continue;
        // After a lost race the written archive is opened again for the
        // members that name it.
        if (!zip->archive) zip->archive = open_in_memory(zip->memory.get(), 0);
        if (!zip->archive || (naming && !naming(zip, name, context))) return -1;
        if (zip->writing_entry && mzsimple_entry_close(zip) != 0) return -1;
        std::vector<unsigned char> bytes;
        if (!write_to_memory(zip, &bytes)) return -1;
        output_file out;
        if (!output_file_open(&out, name) || !output_file_write(&out, bytes.data(), bytes.size())) return -1;
        const int result = output_file_commit_new(&out);
        if (result == OUTPUT_COMMITTED) {
            if (written) *written = name;
            return 0;
        }
        if (result != OUTPUT_NAME_TAKEN) return -1;
    }
    return -1;
}

}  // namespace

mzsimple_ptr mzsimple_open(const char* path, int level, char mode) {
    if (!path || !*path) return nullptr;
    if (level < 0) level = 6;
    if ((level & 15) > 10) return nullptr;
    int flags = 0;
    switch (mode) {
        case 'r': flags = ZIP_RDONLY; break;
        case 'w':
            if (!folder_writable(path)) return nullptr;
            flags = ZIP_CREATE | ZIP_TRUNCATE;
            break;
        case 'a':
            if (!folder_writable(path)) return nullptr;
            flags = 0;
            break;
        case 'n':
            if (!folder_writable(path)) return nullptr;
            break;
        default: return nullptr;
    }
    zip_source_ptr memory;
    zip_ptr archive;
    if (mode == 'n') {
        memory.reset(zip_source_buffer_create(nullptr, 0, 0, nullptr));
        if (memory) archive = open_in_memory(memory.get(), ZIP_CREATE | ZIP_TRUNCATE);
    } else {
        int error = 0;
        archive.reset(zip_open(path, flags, &error));
    }
    if (!archive) return nullptr;
    try {
        auto zip = std::make_unique<mzsimple>();
        zip->memory = std::move(memory);
        zip->archive = std::move(archive);
        zip->mode = mode;
        zip->level = level & 15;
        zip->path = path;
        return zip;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int mzsimple_close(mzsimple_ptr zip, std::string* written, mzsimple_naming_fn naming, void* context) {
    if (!zip || !zip->archive) return -1;
    if (zip->mode == 'n') return close_new(zip.get(), written, naming, context);
    if (zip->writing_entry) mzsimple_entry_close(zip.get());
    if (zip->mode == 'r') return 0;  // the deleter discards a read-only archive
    // zip_close writes the archive through a temporary file and frees the
    // handle only when it succeeds; on failure the handle is discarded.
    zip_t* archive = zip->archive.release();
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        return -1;
    }
    if (written) *written = zip->path;
    return 0;
}

int mzsimple_entry_open(mzsimple* zip, const char* name) {
    if (!zip || !zip->archive || !name || !*name) return -1;
    std::string wanted = slashes(name);
    if (zip->mode == 'r') {
        zip_int64_t count = zip_get_num_entries(zip->archive.get(), 0);
        for (zip_int64_t i = 0; i < count; ++i) {
            const char* stored = zip_get_name(zip->archive.get(), static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
            if (stored && same_name(slashes(stored), wanted)) {
                zip->selected = i;
                return 0;
            }
        }
        zip->selected = -1;
        return -1;
    }
    if (zip->writing_entry) mzsimple_entry_close(zip);
    zip->writing_entry = true;
    zip->entry_name = wanted;
    zip->entry_data.clear();
    return 0;
}

int mzsimple_entry_write(mzsimple* zip, const void* bytes, std::size_t n) {
    if (!zip || !zip->writing_entry) return -1;
    if (!bytes || n == 0) return 0;
    try {
        auto* p = static_cast<const unsigned char*>(bytes);
        zip->entry_data.insert(zip->entry_data.end(), p, p + n);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int mzsimple_entry_close(mzsimple* zip) {
    if (!zip || !zip->archive) return -1;
    if (zip->mode == 'r') {
        zip->selected = -1;
        return 0;
    }
    if (!zip->writing_entry) return -1;
    zip->writing_entry = false;
    try {
        // libzip reads the member's bytes when the archive is written, so
        // they are kept until then.
        zip->members.push_back(std::make_unique<std::vector<unsigned char>>(std::move(zip->entry_data)));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    zip->entry_data = {};
    const std::vector<unsigned char>& data = *zip->members.back();
    zip_source_ptr source(zip_source_buffer(zip->archive.get(), data.data(), data.size(), 0));
    if (!source) return -1;
    zip_int64_t index =
        zip_file_add(zip->archive.get(), zip->entry_name.c_str(), source.get(), ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
    if (index < 0) return -1;
    source.release();  // the archive owns it now
    auto idx = static_cast<zip_uint64_t>(index);
    if (zip->level > 0) {
        zip_set_file_compression(zip->archive.get(), idx, ZIP_CM_DEFLATE, static_cast<zip_uint32_t>(zip->level));
    } else {
        zip_set_file_compression(zip->archive.get(), idx, ZIP_CM_STORE, 0);
    }
    zip_file_set_mtime(zip->archive.get(), idx, std::time(nullptr), 0);
    return 0;
}

std::int64_t mzsimple_entry_count(const mzsimple* zip) {
    if (!zip || !zip->archive) return -1;
    return zip_get_num_entries(zip->archive.get(), 0);
}

int mzsimple_entry_open_index(mzsimple* zip, std::int64_t index) {
    if (!zip || !zip->archive) return -1;
    if (index < 0 || index >= mzsimple_entry_count(zip)) return -1;
    zip->selected = index;
    return 0;
}

std::string mzsimple_entry_name(const mzsimple* zip) {
    if (!selected_valid(zip)) return {};
    const char* name = zip_get_name(zip->archive.get(), static_cast<zip_uint64_t>(zip->selected), ZIP_FL_ENC_RAW);
    return name ? slashes(name) : std::string();
}

int mzsimple_entry_is_dir(const mzsimple* zip) {
    if (!selected_valid(zip)) return -1;
    std::string name = mzsimple_entry_name(zip);
    if (!name.empty() && name.back() == '/') return 1;
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(zip->archive.get(), static_cast<zip_uint64_t>(zip->selected), 0, &opsys,
                                         &attributes) == 0 &&
        (attributes & 0x10) != 0)
        return 1;
    return 0;
}

std::uint64_t mzsimple_entry_size(const mzsimple* zip) {
    if (!selected_valid(zip)) return 0;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip->archive.get(), static_cast<zip_uint64_t>(zip->selected), 0, &st) != 0) return 0;
    return (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
}

namespace {

// Reads up to `size` bytes of the selected entry. With `to_the_end` the
// entry must hold exactly `size` bytes, and reading past its last byte lets
// libzip check the CRC-32.
std::int64_t read_selected(mzsimple* zip, unsigned char* out, std::uint64_t size, bool to_the_end) {
    if (!selected_valid(zip) || (!out && size > 0) || mzsimple_entry_is_dir(zip) == 1) return -1;
    zip_file_ptr file(zip_fopen_index(zip->archive.get(), static_cast<zip_uint64_t>(zip->selected), 0));
    if (!file) return -1;
    std::uint64_t done = 0;
    while (done < size) {
        zip_int64_t n = zip_fread(file.get(), out + done, size - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    if (to_the_end) {
        unsigned char extra;
        if (done != size || zip_fread(file.get(), &extra, 1) != 0) return -1;
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace

std::int64_t mzsimple_entry_read_into(mzsimple* zip, void* buffer, std::uint64_t size) {
    return read_selected(zip, static_cast<unsigned char*>(buffer), size, false);
}

std::int64_t mzsimple_entry_read(mzsimple* zip, std::vector<unsigned char>* out) {
    if (!out || !selected_valid(zip) || mzsimple_entry_is_dir(zip) == 1) return -1;
    std::vector<unsigned char> data;
    try {
        data.resize(mzsimple_entry_size(zip));
    } catch (const std::exception&) {
        return -1;
    }
    std::int64_t n = read_selected(zip, data.data(), data.size(), true);
    if (n < 0) return -1;
    *out = std::move(data);
    return n;
}
