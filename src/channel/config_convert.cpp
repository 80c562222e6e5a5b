#include "channel/config_convert.h"

#include <cstring>

#include "channel/channel_file.h"
#include "window/window.h"

namespace {

constexpr std::uint64_t LAST_SET_INDEX = 602;

void copy(unsigned char* dst, std::uint32_t dst_at, const unsigned char* src, std::uint32_t src_at, std::uint32_t n) {
    std::memcpy(dst + dst_at, src + src_at, n);
}

bool carries_type_data(std::uint8_t device_type) {
    for (const device_type_data& d : DEVICE_TYPE_DATA)
        if (d.device_type == device_type) return true;
    return false;
}

// The last step of every conversion: revision + 1, the new layout's version
// and size, and a fresh CRC.
void finish(unsigned char* dst, const unsigned char* src, std::uint32_t version, std::uint32_t size) {
    le_put_u32(dst + CONFIG_REVISION_AT, le_get_u32(src + CONFIG_REVISION_AT) + 1);
    le_put_u32(dst + CONFIG_VERSION_AT, version);
    le_put_u32(dst + CONFIG_SIZE_AT, size);
    config_stamp_crc(dst, size);
}

// Rebuilds a channel file of layout `from` in layout `to`. The destination
// must hold to.size bytes, the source from.size bytes.
void channel_convert(const channel_layout& from, const channel_layout& to, unsigned char* dst,
                     const unsigned char* src) {
    std::memset(dst, 0, to.size);
    copy(dst, 0, src, 0, CONFIG_HEADER_SIZE);
    copy(dst, CONFIG_CHANNEL_WORD_AT, src, CONFIG_CHANNEL_WORD_AT, CONFIG_CHANNEL_BLOCK_SIZE);
    copy(dst, CHANNEL_KEPT_AT, src, CHANNEL_KEPT_AT, CHANNEL_KEPT_SIZE);
    copy(dst, CHANNEL_KEPT_BYTE_AT, src, CHANNEL_KEPT_BYTE_AT, 1);
    copy(dst, CHANNEL_KEPT_PAIR_AT, src, CHANNEL_KEPT_PAIR_AT, 2);

    const bool source_has_type_2 = from.device_type_2_at != 0;
    for (std::uint32_t i = 0; i < CHANNEL_DEVICE_COUNT; ++i) {
        unsigned char* d = dst + channel_device_at(to, i);
        const unsigned char* s = src + channel_device_at(from, i);
        std::memcpy(d, s, DEVICE_COMMON_SIZE);
        const std::uint8_t type = s[from.device_type_at];
        if (source_has_type_2) {
            // Layout 2 already holds both type bytes in their final form.
            d[to.device_type_at] = type;
            d[to.device_type_2_at] = s[from.device_type_2_at];
        } else {
            d[to.device_type_at] = carries_type_data(type) ? type : DEVICE_TYPE_NONE;
            d[to.device_type_2_at] = DEVICE_TYPE_NONE;
        }
        for (std::size_t t = 0; t < DEVICE_TYPE_DATA_COUNT; ++t) {
            if (DEVICE_TYPE_DATA[t].device_type != type) continue;
            if (from.type_data_at[t] == 0 || to.type_data_at[t] == 0 || source_has_type_2) continue;
            std::memcpy(d + to.type_data_at[t], s + from.type_data_at[t], DEVICE_TYPE_DATA[t].size);
        }
        std::memcpy(d + to.name_at, s + from.name_at, DEVICE_NAME_SIZE);
        d[to.after_name_at] = s[from.after_name_at];
        std::memcpy(d + to.kept_u32_at, s + from.kept_u32_at, 4);
        std::memcpy(d + to.kept_16_at, s + from.kept_16_at, CHANNEL_KEPT_16_SIZE);
    }
    std::memcpy(dst + to.group_entries_at, src + from.group_entries_at, CHANNEL_GROUP_COUNT * CHANNEL_GROUP_ENTRY_SIZE);
    copy(dst, to.size - CHANNEL_TRAILER_SIZE, src, from.size - CHANNEL_TRAILER_SIZE, CHANNEL_TRAILER_SIZE);
    finish(dst, src, to.version, to.size);
}

void report_not_supported(const char* kind, std::uint32_t from, int to) {
    console_printf("CONFIGURATION %s CONVERSION VERSION %u to %u IS NOT SUPPORTED!", kind, from,
                   static_cast<unsigned>(to));
}

using convert_fn = int (*)(unsigned char* dst, const unsigned char* src);

// The channel file conversions by source and target layout.
struct channel_conversion {
    std::uint32_t from;
    std::uint32_t to;
    convert_fn convert;
};

constexpr channel_conversion CHANNEL_CONVERSIONS[] = {
    {1, 2, channel_convert_1_to_2},
    {1, 3, channel_convert_1_to_3},
    {2, 3, channel_convert_2_to_3},
};

// Rebuilds `bytes`, which must be exactly `from_size` long, into `out` with
// `convert`.
int run_conversion(convert_fn convert, std::uint32_t from_size, std::uint32_t to_size, const unsigned char* bytes,
                   std::size_t length, std::vector<unsigned char>* out) {
    if (length != from_size) return CONFIG_CONVERT_REFUSED;
    std::vector<unsigned char> result(to_size);
    convert(result.data(), bytes);
    *out = std::move(result);
    return CONFIG_CONVERT_OK;
}

int convert_channel_file(std::uint32_t source, int target, const unsigned char* bytes, std::size_t length,
                         std::vector<unsigned char>* out) {
    if (source > 3) return CONFIG_CONVERT_REFUSED;
    const std::uint32_t source_layout = source == 0 ? 1 : source;
    const std::uint32_t target_layout = target <= 1 ? 1 : static_cast<std::uint32_t>(target);
    if (source_layout == target_layout) {
        out->assign(bytes, bytes + length);
        return CONFIG_CONVERT_OK;
    }
    if (source_layout > target_layout) {
        report_not_supported("dali", source, target);
        return CONFIG_CONVERT_NOT_SUPPORTED;
    }
    for (const channel_conversion& c : CHANNEL_CONVERSIONS) {
        if (c.from == source_layout && c.to == target_layout) {
            return run_conversion(c.convert, channel_layout_from_version(c.from)->size,
                                  channel_layout_from_version(c.to)->size, bytes, length, out);
        }
    }
    return CONFIG_CONVERT_REFUSED;
}

int convert_inputs_file(std::uint32_t source, int target, const unsigned char* bytes, std::size_t length,
                        std::vector<unsigned char>* out) {
    if (source == 1 || source == 3 || (source == 2 && target == 2)) {
        out->assign(bytes, bytes + length);
        return CONFIG_CONVERT_OK;
    }
    if (source != 2) return CONFIG_CONVERT_REFUSED;
    if (target != 3) {
        report_not_supported("dalicd", source, target);
        return CONFIG_CONVERT_NOT_SUPPORTED;
    }
    return run_conversion(inputs_convert_2_to_3, inputs_layout_from_version(2)->size,
                          inputs_layout_from_version(3)->size, bytes, length, out);
}

}  // namespace

int channel_convert_1_to_2(unsigned char* dst, const unsigned char* src) {
    if (!dst || !src) return 1;
    channel_convert(*channel_layout_from_version(1), *channel_layout_from_version(2), dst, src);
    return 0;
}

int channel_convert_1_to_3(unsigned char* dst, const unsigned char* src) {
    if (!dst || !src) return 1;
    channel_convert(*channel_layout_from_version(1), *channel_layout_from_version(3), dst, src);
    return 0;
}

int channel_convert_2_to_3(unsigned char* dst, const unsigned char* src) {
    if (!dst || !src) return 1;
    channel_convert(*channel_layout_from_version(2), *channel_layout_from_version(3), dst, src);
    return 0;
}

int inputs_convert_2_to_3(unsigned char* dst, const unsigned char* src) {
    if (!dst || !src) return 1;
    const inputs_layout& from = *inputs_layout_from_version(2);
    const inputs_layout& to = *inputs_layout_from_version(3);
    std::memset(dst, 0, to.size);
    copy(dst, 0, src, 0, CONFIG_HEADER_SIZE);
    copy(dst, CONFIG_CHANNEL_WORD_AT, src, CONFIG_CHANNEL_WORD_AT, CONFIG_CHANNEL_BLOCK_SIZE);
    copy(dst, INPUTS_KEPT_AT, src, INPUTS_KEPT_AT, 4);
    bool block_param_carried = false;
    for (std::uint32_t j = 0; j < INPUTS_DEVICE_COUNT; ++j) {
        const unsigned char* entry = src + inputs_entry_at(j);
        copy(dst, inputs_entry_at(j), src, inputs_entry_at(j), INPUT_CARRIED_SIZE);
        const unsigned char* s = src + inputs_block_at(from, j);
        unsigned char* d = dst + inputs_block_at(to, j);
        bool has_type_1 = false;
        for (std::uint32_t k = 0; k < INPUTS_INSTANCE_COUNT; ++k) {
            const int t = instance_type_index(entry[INPUT_INSTANCES_AT + 2 * k]);
            if (t < 0) continue;
            if (INSTANCE_TYPES[static_cast<std::size_t>(t)].type == 1) has_type_1 = true;
            std::memcpy(d + to.records_at + k * to.record_stride[static_cast<std::size_t>(t)],
                        s + from.records_at + k * from.record_stride[static_cast<std::size_t>(t)],
                        INSTANCE_TYPES[static_cast<std::size_t>(t)].carried_size);
        }
        // The block parameter travels only with the first input device that
        // has a push button instance; every other block starts at 0.
        if (has_type_1 && !block_param_carried) {
            d[to.block_param_at] = s[from.block_param_at];
            block_param_carried = true;
        }
    }
    finish(dst, src, to.version, to.size);
    return 0;
}

int config_convert(const restore_config_entry* entry, const status_record* status, const unsigned char* bytes,
                   std::size_t length, std::vector<unsigned char>* out) {
    if (!entry || !status || !bytes || !out) return CONFIG_CONVERT_MISSING;
    out->clear();
    const std::uint64_t index = entry->index;
    if (index > LAST_SET_INDEX) return CONFIG_CONVERT_REFUSED;
    const bool channel_file = config_set_layout_of(index) == config_set_layout::channel;
    const bool inputs_file = config_set_layout_of(index) == config_set_layout::inputs;
    if (!channel_file && !inputs_file) {
        out->assign(bytes, bytes + length);
        return CONFIG_CONVERT_OK;
    }
    // Without the controller's firmware version its layout is unknown, and
    // sending a file in a guessed layout could damage the channel.
    if (!status->firmware_version || length < CONFIG_VERSION_AT + 4) return CONFIG_CONVERT_REFUSED;
    const std::uint32_t source = le_get_u32(bytes + CONFIG_VERSION_AT);
    const char* firmware = status->firmware_version->c_str();
    if (channel_file) return convert_channel_file(source, channel_layout_for(firmware), bytes, length, out);
    return convert_inputs_file(source, inputs_layout_for(firmware), bytes, length, out);
}
