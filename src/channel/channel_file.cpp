// Channel configuration files: CRC, layout lookups, and moving the channel
// file and the channel inputs file between a fetched set, the in-memory
// record and a tar being written.
#include "channel/channel_file.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "window/window.h"

namespace {

const char* const TAG = "backup";
const char* const CHANNEL_FILE_NAME = "/etc/config/dali/dali%u.bin";
const char* const INPUTS_FILE_NAME = "/etc/config/dali/cd%u.bin";

struct layout_entry {
    const char* firmware;
    int code;
};

// Ascending firmware texts; see the lookup rule in the header.
constexpr layout_entry CHANNEL_LAYOUT_TABLE[] = {
    {"1.0.0", 0},
    {"1.3.0", 1},
    {"1.3.1", 2},
    {"1.5.0", 3},
};
constexpr layout_entry INPUTS_LAYOUT_TABLE[] = {
    {"1.0.0", 0},
    {"1.3.1", 2},
    {"2.2.4", 3},
};

template <std::size_t N>
int layout_lookup(const layout_entry (&table)[N], const char* firmware_version) {
    if (firmware_version == nullptr) return 0;
    int code = 0;
    for (const layout_entry& entry : table) {
        if (std::strcmp(entry.firmware, firmware_version) <= 0) code = entry.code;
    }
    return code;
}

// Writes `size` bytes of a stamped image as one tar member and reports a
// failure on the console and in red.
int write_member(tar_archive* tar, const char* name, const unsigned char* image, std::uint32_t size) {
    if (tar_write_file_header(tar, name, size) != TAR_OK) {
        console_printf("%s\terror writing file '%s' header.\r\n", TAG, name);
        log_printf_color(COLOR_RED, "Error writing file '%s' header.", name);
        return CHANNEL_FILE_TAR_FAILED;
    }
    if (tar_write_data(tar, image, size) != TAR_OK) {
        console_printf("%s\terror writing file '%s' data.\r\n", TAG, name);
        log_printf_color(COLOR_RED, "Error writing file '%s' data.", name);
        return CHANNEL_FILE_TAR_FAILED;
    }
    return CHANNEL_FILE_OK;
}

bool write_arguments_present(const tar_archive* tar, const backup_set_data* set, std::uint32_t channel,
                             const channel_record* record) {
    return tar != nullptr && set != nullptr && !set->data.empty() && set->firmware_version.has_value() &&
           channel != 0 && record != nullptr;
}

}  // namespace

std::uint16_t config_crc16(const unsigned char* data, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t x = static_cast<std::uint8_t>(data[i] ^ (crc & 0xFF));
        x = static_cast<std::uint8_t>(x ^ (x << 4));
        crc = static_cast<std::uint16_t>(((x << 8) | (crc >> 8)) ^ (x >> 4) ^ (x << 3));
    }
    return crc;
}

void config_stamp_crc(unsigned char* image, std::uint32_t size) {
    le_put_u32(image + CONFIG_CRC_AT, 0);
    le_put_u32(image + CONFIG_CRC_AT, config_crc16(image, size));
}

int channel_layout_for(const char* firmware_version) { return layout_lookup(CHANNEL_LAYOUT_TABLE, firmware_version); }

int inputs_layout_for(const char* firmware_version) { return layout_lookup(INPUTS_LAYOUT_TABLE, firmware_version); }

const channel_layout* channel_layout_from_code(int code) {
    switch (code) {
        case 0:
        case 1: return &CHANNEL_LAYOUTS[0];
        case 2: return &CHANNEL_LAYOUTS[1];
        case 3: return &CHANNEL_LAYOUTS[2];
        default: return nullptr;
    }
}

const channel_layout* channel_layout_from_version(std::uint32_t version) {
    return version <= 3 ? channel_layout_from_code(static_cast<int>(version)) : nullptr;
}

const inputs_layout* inputs_layout_from_code(int code) {
    for (const inputs_layout& layout : INPUTS_LAYOUTS) {
        if (code >= 0 && layout.version == static_cast<std::uint32_t>(code)) return &layout;
    }
    return nullptr;
}

const inputs_layout* inputs_layout_from_version(std::uint32_t version) {
    for (const inputs_layout& layout : INPUTS_LAYOUTS) {
        if (layout.version == version) return &layout;
    }
    return nullptr;
}

int instance_type_index(std::uint8_t type) {
    for (std::size_t i = 0; i < INSTANCE_TYPES.size(); ++i) {
        if (INSTANCE_TYPES[i].type == type) return static_cast<int>(i);
    }
    return -1;
}

int channel_file_read(const backup_set_data* set, std::uint32_t channel, channel_record* record) {
    if (set == nullptr || set->data.empty() || channel == 0 || record == nullptr) {
        return CHANNEL_FILE_FAILED;
    }
    record->channel.fill(0);

    char name[64];
    std::snprintf(name, sizeof name, CHANNEL_FILE_NAME, channel);

    std::vector<unsigned char> data;
    const int rc = tar_mem_member_read(set->data.data(), set->data.size(), name, &data);
    if (rc == TAR_NOT_FOUND) {
        console_printf("%s\terror '%s' file not found.\r\n", TAG, name);
        log_printf_color(COLOR_RED, "Error '%s' file not found.", name);
        return CHANNEL_FILE_FAILED;
    }
    if (rc == TAR_OK && data.empty()) {
        console_printf("%s\terror '%s' file size error.\r\n", TAG, name);
        log_printf_color(COLOR_RED, "Error '%s' file size error.", name);
        return CHANNEL_FILE_FAILED;
    }
    if (rc != TAR_OK) {
        console_printf("%s\terror reading '%s'\r\n", TAG, name);
        log_printf_color(COLOR_RED, "Error reading '%s'.", name);
        return CHANNEL_FILE_FAILED;
    }

    const std::size_t n = data.size() < record->channel.size() ? data.size() : record->channel.size();
    std::memcpy(record->channel.data(), data.data(), n);
    return CHANNEL_FILE_OK;
}

int channel_file_write(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record) {
    if (!write_arguments_present(tar, set, channel, record)) return CHANNEL_FILE_FAILED;

    char name[64];
    std::snprintf(name, sizeof name, CHANNEL_FILE_NAME, channel);

    const channel_layout* layout = channel_layout_from_code(channel_layout_for(set->firmware_version->c_str()));
    unsigned char* image = record->channel.data();
    le_put_u32(image + CONFIG_VERSION_AT, layout->version);
    config_stamp_crc(image, layout->size);
    return write_member(tar, name, image, layout->size);
}

int inputs_file_write(tar_archive* tar, const backup_set_data* set, std::uint32_t channel, channel_record* record) {
    if (!write_arguments_present(tar, set, channel, record)) return CHANNEL_FILE_FAILED;

    char name[64];
    std::snprintf(name, sizeof name, INPUTS_FILE_NAME, channel);

    const char* firmware = set->firmware_version->c_str();
    if (channel_layout_for(firmware) != 3) {
        console_printf("%s\terror version %s not supported.\r\n", TAG, firmware);
        return CHANNEL_FILE_UNSUPPORTED;
    }
    const inputs_layout* layout = inputs_layout_from_code(3);
    unsigned char* image = record->inputs.data();
    le_put_u32(image + CONFIG_VERSION_AT, layout->version);
    config_stamp_crc(image, layout->size);
    return write_member(tar, name, image, layout->size);
}
