// Fuzzes the decoder that diff_backup and export_channel share: a channel
// file or channel inputs file decoded into CSV fields, its notes, the
// comparison of two files and the CSV text.
//
// The first byte chooses the kind and layout of both files (so that the
// decoder's layouts are reached without the fuzzer having to find their
// exact sizes); the rest is the old file, cut or padded with zeros to the
// layout's size, with the layout's version in its header. The new file is
// the same bytes in the second chosen layout, every 7th byte changed. Raw
// modes hand the bytes over as they are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "channel/channel_fields.h"
#include "channel/channel_file.h"
#include "import/csv_export.h"

namespace {

struct file_mode {
    channel_file_kind kind;
    std::uint32_t version;  // 0: raw bytes
    std::uint32_t size;
};

// clang-format off
const file_mode MODES[] = {
    {channel_file_kind::channel, 1, CHANNEL_LAYOUTS[0].size}, {channel_file_kind::channel, 2, CHANNEL_LAYOUTS[1].size},
    {channel_file_kind::channel, 3, CHANNEL_LAYOUTS[2].size}, {channel_file_kind::inputs, 2, INPUTS_LAYOUTS[0].size},
    {channel_file_kind::inputs, 3, INPUTS_LAYOUTS[1].size},   {channel_file_kind::inputs, 1, 600},
    {channel_file_kind::channel, 0, 0},                        {channel_file_kind::inputs, 0, 0},
};
// clang-format on

std::vector<unsigned char> shaped(const file_mode& mode, const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> file(data, data + size);
    if (mode.version == 0) return file;
    file.resize(mode.size, 0);
    le_put_u32(file.data() + CONFIG_VERSION_AT, mode.version);
    return file;
}

void check(const channel_fields& fields) {
    for (const channel_entry& entry : fields.entries) {
        if (entry.values.size() != csv_columns(entry.kind).size()) std::abort();
        if (channel_entry_label(entry).empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const file_mode& old_mode = MODES[data[0] % 8];
    file_mode new_mode = MODES[(data[0] / 8) % 8];
    if (new_mode.kind != old_mode.kind) new_mode = old_mode;

    const std::vector<unsigned char> old_file = shaped(old_mode, data + 1, size - 1);
    std::vector<unsigned char> new_file = shaped(new_mode, data + 1, size - 1);
    for (std::size_t i = CONFIG_HEADER_SIZE; i < new_file.size(); i += 7)
        new_file[i] = static_cast<unsigned char>(new_file[i] + 1);

    channel_fields old_fields, new_fields;
    const int old_code = channel_fields_decode(old_mode.kind, old_file.data(), old_file.size(), &old_fields);
    const int new_code = channel_fields_decode(new_mode.kind, new_file.data(), new_file.size(), &new_fields);
    channel_file_problem(old_mode.kind, old_file.data(), old_file.size());
    if (old_mode.version != 0 && old_code != CHANNEL_FIELDS_OK) std::abort();  // a shaped file always decodes
    if (old_code != CHANNEL_FIELDS_OK || new_code != CHANNEL_FIELDS_OK) return 0;
    check(old_fields);
    check(new_fields);
    // A file equals itself; a file compared with a changed copy never
    // reports more lines than it has fields, plus layout and channel.
    if (!channel_fields_compare(old_fields, old_fields).empty()) std::abort();
    const std::vector<std::string> lines = channel_fields_compare(old_fields, new_fields);
    std::size_t fields = 2;
    for (const channel_entry& entry : new_fields.entries) fields += entry.values.size() + 1;
    if (lines.size() > fields) std::abort();
    for (entry_kind kind : {entry_kind::device, entry_kind::group, entry_kind::input}) {
        const std::string text = csv_export_text(old_fields, kind);
        if (text.rfind(csv_export_version_line(kind), 0) != 0) std::abort();
    }
    return 0;
}
