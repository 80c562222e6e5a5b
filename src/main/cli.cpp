#include "main/cli.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <curl/curl.h>

#include "action/actions.h"
#include "backup/config_sets.h"
#include "common/limits.h"
#include "common/output_file.h"
#include "common/version.h"
#include "firmware/firmware_push.h"
#include "json/json.h"
#include "main/download_dir.h"
#include "platform/platform.h"
#include "transfer/transfer.h"
#include "window/window.h"

namespace {

// Set by --verbose through the option table.
int verbose_flag = 0;

constexpr const char* SHORT_OPTIONS = "abc:d:012";

// Codes of long options that have no letter of their own: above the
// character range, so that they never meet a short option.
constexpr int OPT_COMPARE_WITH = 0x100 + 'w';
constexpr int OPT_UPGRADE_WAIT = 0x100 + 'U';
constexpr int OPT_TFTP_BLKSIZE = 0x100 + 'B';

// The long options, in this order; the second "verbose" is never matched
// exactly but makes the shortened forms of verbose ambiguous.
const platform_option LONG_OPTIONS[] = {
    {"version", false, nullptr, 'v'},
    {"help", false, nullptr, 'h'},
    {"verbose", false, &verbose_flag, 1},
    {"action", true, nullptr, 'a'},
    {"channel", true, nullptr, 'c'},
    {"channelcsvfile", true, nullptr, 'f'},
    {"channelgroupscsvfile", true, nullptr, 'q'},
    {"channelinputscsvfile", true, nullptr, 'p'},
    {"ip", true, nullptr, 'i'},
    {"backupfileout", true, nullptr, 'o'},
    {"backupfileouttype", true, nullptr, 't'},
    {"backupconfig", true, nullptr, 'g'},
    {"backupfilein", true, nullptr, 'j'},
    {"firmwarefile", true, nullptr, 'u'},
    {"comparewith", true, nullptr, OPT_COMPARE_WITH},
    {"upgradewait", true, nullptr, OPT_UPGRADE_WAIT},
    {"tftpblksize", true, nullptr, OPT_TFTP_BLKSIZE},
    {"delete", true, nullptr, 0},
    {"verbose", false, nullptr, 0},
    {"create", true, nullptr, 'c'},
    {"file", true, nullptr, 0},
    {nullptr, false, nullptr, 0},
};

const char* const HELP_LINES[] = {
    "Help\n",
    "version\t\tShow the command version.\n",
    "help\t\tShow the command help.\n",
    "action\t\tsetup_channel|get_backup|put_backup|push_firmware.\n",
    "ip\t\tIP address of the controller.\n",
    "channel\t\tChannel number (1-4).\n",
    "channelcsvfile\tChannel CSV file path.\n",
    "firmwarefile\tFirmware binary file path.\n",
};

// The usage block printed after the help lines above: every action, then
// every option, one line each. A new action or option adds its line here.
struct usage_line {
    const char* name;
    const char* text;
};

const usage_line USAGE_ACTIONS[] = {
    {"get_status", "--ip: print the controller's model name"},
    {"get_backup", "--ip [--backupfileout --backupfileouttype --backupconfig]: back up the controller"},
    {"put_backup", "--ip --backupfilein: restore a backup archive, or send one set tar"},
    {"push_firmware", "--ip --firmwarefile: validate, upload and apply a firmware package"},
    {"setup_channel", "--ip --channel and one CSV file list: set up channels from CSV files"},
    {"read_file_flashraw", "--ip --backupfileout: copy flashraw.bin into the folder"},
    {"read_file_flashfs", "--ip --backupfileout: copy flashfs.bin into the folder"},
    {"write_file_flashraw", "recognised; no operation"},
    {"write_file_flashfs", "recognised; no operation"},
    {"verify_backup", "--backupfilein: check a backup without any network"},
    {"diff_backup", "--backupfilein OLD and --comparewith NEW or --ip: list what differs"},
    {"export_channel", "--channel --backupfileout and --ip or --backupfilein: write channel CSV files"},
};

const usage_line USAGE_OPTIONS[] = {
    {"--version", "Show the command version."},
    {"--help", "Show the command help."},
    {"--verbose", "Trace the exchanges with the controller."},
    {"--action ACTION", "The action to run (above)."},
    {"--ip ADDRESS[:PORT]", "Address of the controller."},
    {"--channel LIST", "Channel numbers, JSON: 2 or [1,4]."},
    {"--channelcsvfile LIST", "Channel CSV files, JSON strings: [\"ch1.csv\"]."},
    {"--channelgroupscsvfile LIST", "Channel groups CSV files, JSON strings."},
    {"--channelinputscsvfile LIST", "Channel inputs CSV files, JSON strings."},
    {"--backupfileout FOLDER", "Output folder."},
    {"--backupfileouttype TYPE", "zip or directory (get_backup)."},
    {"--backupconfig LIST", "Configuration set names, JSON strings (get_backup)."},
    {"--backupfilein PATH", "Backup archive, backup folder or set tar."},
    {"--firmwarefile FILE", "Firmware package or image."},
    {"--comparewith PATH", "The second backup of diff_backup."},
    // Options of the controller exchanges (--upgradewait, --tftpblksize) go here.
    {"--upgradewait SECONDS", "Wait for the controller to run the new firmware (default 300; 0: no wait)."},
    {"--tftpblksize N",
     "TFTP block size, 8 to 65464 (default 128); larger sizes only for controllers known "
     "to accept them."},
    {"--create LIST", "Same as --channel."},
    {"--delete VALUE", "Echoed only."},
    {"--file VALUE", "Echoed only."},
};

void print_help() {
    for (const char* line : HELP_LINES) console_printf("%s", line);
    console_printf("\nUsage: ornat-cli --action ACTION [options]\n\nActions:\n");
    for (const usage_line& line : USAGE_ACTIONS) console_printf("  %-21s%s\n", line.name, line.text);
    console_printf("\nOptions:\n");
    for (const usage_line& line : USAGE_OPTIONS) console_printf("  %-29s%s\n", line.name, line.text);
}

const char* opt(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }

template <typename T>
const std::vector<T>* opt(const std::optional<std::vector<T>>& list) {
    return list ? &*list : nullptr;
}

// A JSON number as a channel number: truncated toward zero, saturated at
// the limits of a 32-bit int.
std::int32_t truncate_to_int(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// Walks one JSON value of a list option: strings and numbers go to the
// callbacks until the first array end, the end of the value or a parse
// error; every other event is passed over.
template <typename OnString, typename OnNumber>
void read_list_values(const char* text, OnString on_string, OnNumber on_number) {
    json_reader reader;
    json_reader_open(&reader, text);
    for (bool more = true; more;) {
        switch (json_reader_next(&reader)) {
            case JSON_EVENT_STRING: {
                std::size_t length = 0;
                const char* s = json_reader_string(&reader, &length);
                on_string(s, length ? length - 1 : 0);
                break;
            }
            case JSON_EVENT_NUMBER: on_number(json_reader_number(&reader)); break;
            case JSON_EVENT_ARRAY_END:
            case JSON_EVENT_DONE:
            case JSON_EVENT_ERROR: more = false; break;
            default: break;
        }
    }
    json_reader_close(&reader);
}

}  // namespace

void fill_channels(const char* text, std::optional<std::vector<std::uint32_t>>& list) {
    std::vector<std::uint32_t> values;
    read_list_values(
        text, [&](const char* s, std::size_t) { values.push_back(static_cast<std::uint32_t>(std::atoi(s))); },
        [&](double n) { values.push_back(static_cast<std::uint32_t>(truncate_to_int(n))); });
    if (!values.empty()) list = std::move(values);
}

void fill_strings(const char* text, std::optional<std::vector<std::string>>& list) {
    std::vector<std::string> values;
    read_list_values(
        text, [&](const char* s, std::size_t length) { values.emplace_back(s, length); }, [](double) {});
    if (!values.empty()) list = std::move(values);
}

namespace {

// The value of --tftpblksize: a whole number of bytes within the bounds of
// the TFTP block size option.
std::optional<long> tftp_block_size(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < TFTP_BLOCK_SIZE_MIN || value > TFTP_BLOCK_SIZE_MAX) return std::nullopt;
    return value;
}

// The value of --upgradewait: whole seconds from 0 to 4294967295.
std::optional<unsigned> upgrade_wait_seconds(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// The safety backup before an action that changes the controller. Its
// outcome never changes the outcome of the action that follows.
void pre_action_backup(const run_options& o, const char* start_message) {
    std::optional<std::string> folder = user_download_dir();
    if (!folder) {
        log_printf_color(COLOR_ORANGE, "[WARN] Could not determine user download directory, skipping get_backup.");
        return;
    }
    platform_make_folders(*folder);
    log_printf_color(COLOR_GREEN, start_message, folder->c_str());
    action_get_backup(opt(o.ip), folder->c_str(), "zip", nullptr);
}

int run_get_backup(const run_options& o) {
    log_capture_begin();
    int result =
        action_get_backup(opt(o.ip), opt(o.backup_file_out), opt(o.backup_file_out_type), opt(o.backup_config));
    log_capture_end();
    return result;
}

int run_put_backup(const run_options& o) {
    pre_action_backup(o, "Downloading backup before restoring (%s)...");
    return action_put_backup(opt(o.ip), opt(o.backup_file_in));
}

int run_push_firmware(const run_options& o) {
    if (o.upgrade_wait) firmware_set_upgrade_wait(*upgrade_wait_seconds(*o.upgrade_wait));
    pre_action_backup(o, "Downloading backup before firmware upgrade (%s)...");
    return action_push_firmware(opt(o.ip), opt(o.firmware_file));
}

int run_setup_channel(const run_options& o) {
    return action_setup_channel(opt(o.ip), opt(o.channels), opt(o.channel_csv_files), opt(o.channel_groups_csv_files),
                                opt(o.channel_inputs_csv_files));
}

int run_get_status(const run_options& o) { return action_get_status(opt(o.ip)); }

int run_read_flashraw(const run_options& o) {
    return action_read_file(opt(o.ip), "flashraw.bin", FLASH_IMAGE_SIZE, opt(o.backup_file_out),
                            opt(o.backup_file_out_type));
}

int run_read_flashfs(const run_options& o) {
    return action_read_file(opt(o.ip), "flashfs.bin", FLASH_IMAGE_SIZE, opt(o.backup_file_out),
                            opt(o.backup_file_out_type));
}

// Recognised names that have no operation attached: nothing is done, so
// nothing is reported as done either.
int run_nothing(const run_options&) { return EXIT_FAILED; }

int run_verify_backup(const run_options& o) { return action_verify_backup(opt(o.backup_file_in)); }

int run_diff_backup(const run_options& o) {
    return action_diff_backup(opt(o.backup_file_in), opt(o.compare_with), opt(o.ip));
}

int run_export_channel(const run_options& o) {
    return action_export_channel(opt(o.ip), opt(o.backup_file_in), opt(o.channels), opt(o.backup_file_out));
}

struct action_entry {
    const char* name;
    int (*run)(const run_options&);
};

const action_entry ACTIONS[] = {
    {"put_backup", run_put_backup},          {"get_backup", run_get_backup},
    {"push_firmware", run_push_firmware},    {"setup_channel", run_setup_channel},
    {"get_status", run_get_status},          {"read_file_flashraw", run_read_flashraw},
    {"read_file_flashfs", run_read_flashfs}, {"write_file_flashraw", run_nothing},
    {"write_file_flashfs", run_nothing},     {"verify_backup", run_verify_backup},
    {"diff_backup", run_diff_backup},        {"export_channel", run_export_channel},
};

// The options that carry a value: the echo line, and where the value goes
// (a string, a string list, or the channel list).
struct value_option {
    int code;
    const char* echo;
    bool echo_raw;  // also "optarg=#...#" (no line end)
    std::optional<std::string> run_options::*text;
    std::optional<std::vector<std::string>> run_options::*list;
};

const value_option VALUE_OPTIONS[] = {
    {'a', "ACTION=%s\n", false, &run_options::action, nullptr},
    {'i', "IP=%s\n", false, &run_options::ip, nullptr},
    {'o', "BackupFileOut%s\n", false, &run_options::backup_file_out, nullptr},
    {'t', "BackupFileOutType%s\n", false, &run_options::backup_file_out_type, nullptr},
    {'j', "BackupFileIn%s\n", false, &run_options::backup_file_in, nullptr},
    {'u', "FIRMWAREFILE=%s\n", false, &run_options::firmware_file, nullptr},
    {OPT_COMPARE_WITH, "CompareWith%s\n", false, &run_options::compare_with, nullptr},
    {OPT_UPGRADE_WAIT, "UpgradeWait%s\n", false, &run_options::upgrade_wait, nullptr},
    {OPT_TFTP_BLKSIZE, "TftpBlksize%s\n", false, &run_options::tftp_blksize, nullptr},
    {'c', "CHANNEL=%s\n", false, nullptr, nullptr},
    {'f', "CHANNELCSVFILE=%s\n", true, nullptr, &run_options::channel_csv_files},
    {'q', "CHANNELGROUPSCSVFILE=%s\n", true, nullptr, &run_options::channel_groups_csv_files},
    {'p', "CHANNELINPUTSCSVFILE=%s\n", true, nullptr, &run_options::channel_inputs_csv_files},
    {'g', "BackupConfig%s\n", false, nullptr, &run_options::backup_config},
};

// Echoes and stores one value option. -a takes no value: with none there is
// nothing to echo or store.
void take_value(const value_option& option, run_options& o) {
    const char* value = platform_option_value();
    console_printf(option.echo, value ? value : "");
    if (!value) return;
    if (option.echo_raw) console_printf("optarg=#%s#", value);
    if (option.text) {
        o.*option.text = value;
    } else if (option.list) {
        std::optional<std::vector<std::string>> read;
        fill_strings(value, read);
        if (read) {
            o.*option.list = std::move(read);
        } else if (option.list == &run_options::backup_config) {
            o.backup_config_unread = value;
        }
    } else {
        fill_channels(value, o.channels);
    }
}

// Reads the command line into `o`;
// --help and --version end the process from here.
void parse_options(int argc, char** argv, run_options& o) {
    int digit_index = 0;
    for (;;) {
        int noted_index = platform_option_index() ? platform_option_index() : 1;
        int long_index = 0;
        int c = platform_next_option(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, &long_index);
        if (c == -1) break;
        switch (c) {
            case 0:
                console_printf("option %s", LONG_OPTIONS[long_index].name);
                if (platform_option_value()) console_printf(" with arg %s", platform_option_value());
                console_printf("\n");
                break;
            case '0':
            case '1':
            case '2':
                if (digit_index != 0 && digit_index != noted_index)
                    console_printf("digits occur in two different argv-elements.\n");
                console_printf("option %c\n", c);
                digit_index = noted_index;
                break;
            case 'h':
                print_help();
                std::fflush(stdout);
                std::exit(0);
            case 'v':
                console_printf("Version %s\n", TOOL_VERSION);
                std::fflush(stdout);
                std::exit(0);
            default: {
                const value_option* option = nullptr;
                for (const value_option& candidate : VALUE_OPTIONS)
                    if (candidate.code == c) option = &candidate;
                if (option) {
                    take_value(*option, o);
                } else {
                    console_printf("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
                }
                break;
            }
        }
    }
}

// The controller address goes into "http://ADDRESS/..." and
// "tftp://ADDRESS/...": only a host name or address with an optional port
// may stand there (an IPv6 address in brackets, "[::1]:8080"). A scheme, a
// path, a query, a fragment, credentials or white space would change what
// the URL names.
bool address_acceptable(const std::string& address) {
    if (address.empty()) return false;
    for (unsigned char c : address) {
        if (c == '/' || c == '?' || c == '#' || c == '@' || c <= ' ' || c == 0x7f) return false;
    }
    return true;
}

// Option values that would reach URLs and paths are checked before any
// action runs: EXIT_USAGE after naming each refused value, else EXIT_DONE.
int check_option_values(const run_options& o) {
    int status = EXIT_DONE;
    if (o.ip && !address_acceptable(*o.ip)) {
        log_printf_color(COLOR_RED,
                         "Invalid controller address '%s' (a host name or address with an optional :PORT; "
                         "IPv6 in brackets).",
                         o.ip->c_str());
        status = EXIT_USAGE;
    }
    // A selection that cannot be read must not turn into a backup of every set.
    if (o.backup_config_unread) {
        log_printf_color(COLOR_RED,
                         "No configuration set name read from --backupconfig '%s' (a JSON list of set "
                         "names, such as [\"dali1\"]).",
                         o.backup_config_unread->c_str());
        status = EXIT_USAGE;
    }
    if (o.tftp_blksize && !tftp_block_size(*o.tftp_blksize)) {
        log_printf_color(COLOR_RED, "Invalid --tftpblksize value '%s' (a whole number of bytes from %ld to %ld).",
                         o.tftp_blksize->c_str(), TFTP_BLOCK_SIZE_MIN, TFTP_BLOCK_SIZE_MAX);
        status = EXIT_USAGE;
    }
    if (o.upgrade_wait && !upgrade_wait_seconds(*o.upgrade_wait)) {
        log_printf_color(COLOR_RED, "Invalid --upgradewait value '%s' (whole seconds from 0 to 4294967295).",
                         o.upgrade_wait->c_str());
        status = EXIT_USAGE;
    }
    if (o.backup_config) {
        const std::vector<std::string>& known = backup_config_list();
        for (const std::string& name : *o.backup_config) {
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                log_printf_color(COLOR_RED, "Unknown configuration set '%s'.", name.c_str());
                status = EXIT_USAGE;
            }
        }
    }
    return status;
}

int run(int argc, char** argv) {
    // Ctrl-C, a kill or a closed terminal end the run without leaving
    // temporary output files behind.
    temp_cleanup_on_signals();
    console_printf("%s\n", TOOL_NAME);
    curl_global_init(CURL_GLOBAL_ALL);

    run_options o;
    parse_options(argc, argv, o);
    transfer_set_verbose(verbose_flag != 0);

    if (platform_option_index() < argc) {
        console_printf("non-option ARGV-elements: ");
        for (int i = platform_option_index(); i < argc; ++i) console_printf("%s ", argv[i]);
        console_printf("\n");
    }
    if (o.action) console_printf("optAction=%s\n", o.action->c_str());
    if (o.ip) console_printf("optIP=%s\n", o.ip->c_str());
    if (o.backup_file_out) console_printf("optBackupFileOut=%s\n", o.backup_file_out->c_str());
    if (o.backup_file_out_type) console_printf("optBackupFileOutType=%s\n", o.backup_file_out_type->c_str());

    int status = check_option_values(o);
    if (status == EXIT_DONE && o.tftp_blksize) transfer_set_tftp_blksize(*tftp_block_size(*o.tftp_blksize));
    if (status == EXIT_DONE && o.action) {
        const action_entry* found = nullptr;
        for (const action_entry& entry : ACTIONS) {
            if (*o.action == entry.name) {
                found = &entry;
                break;
            }
        }
        if (found) {
            status = found->run(o);
        } else {
            console_printf("\nAction '%s' not defined.\n", o.action->c_str());
            status = EXIT_USAGE;
        }
    }
    curl_global_cleanup();
    std::fflush(stdout);
    return status;
}

}  // namespace

int cli_main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        error_printf("main: out of memory\n");
        std::exit(1);
    }
}
