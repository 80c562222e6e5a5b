#include "action/run_options.h"

namespace {

bool has(const run_options& o, run_option option) {
    switch (option) {
        case OPTION_IP: return o.ip.has_value();
        case OPTION_CHANNEL: return o.channels.has_value();
        case OPTION_CHANNEL_CSV_FILE: return o.channel_csv_files.has_value();
        case OPTION_GROUPS_CSV_FILE: return o.channel_groups_csv_files.has_value();
        case OPTION_INPUTS_CSV_FILE: return o.channel_inputs_csv_files.has_value();
        case OPTION_BACKUP_FILE_OUT: return o.backup_file_out.has_value();
        case OPTION_BACKUP_FILE_OUT_TYPE: return o.backup_file_out_type.has_value();
        case OPTION_BACKUP_CONFIG: return o.backup_config.has_value();
        case OPTION_BACKUP_FILE_IN: return o.backup_file_in.has_value();
        case OPTION_FIRMWARE_FILE: return o.firmware_file.has_value();
        case OPTION_COMPARE_WITH: return o.compare_with.has_value();
        case OPTION_UPGRADE_WAIT: return o.upgrade_wait_given;
    }
    return false;
}

}  // namespace

bool run_options_have(const run_options& o, std::uint32_t options) {
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((options & bit) && !has(o, static_cast<run_option>(bit))) return false;
    }
    return true;
}

bool run_options_have_any(const run_options& o, std::uint32_t options) {
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if ((options & bit) && has(o, static_cast<run_option>(bit))) return true;
    }
    return false;
}
