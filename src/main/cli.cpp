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

#include "action/action_table.h"
#include "action/run_options.h"
#include "action/run_report.h"
#include "common/limits.h"
#include "common/output_file.h"
#include "common/version.h"
#include "json/json.h"
#include "platform/platform.h"
#include "transfer/controller_link.h"
#include "window/window.h"

namespace {

constexpr const char* SHORT_OPTIONS = "abc:d:012";

// Codes of long options that have no letter of their own: above the
// character range, so that they never meet a short option.
constexpr int OPT_COMPARE_WITH = 0x100 + 'w';
constexpr int OPT_UPGRADE_WAIT = 0x100 + 'U';
constexpr int OPT_TFTP_BLKSIZE = 0x100 + 'B';
constexpr int OPT_VERBOSE = 0x100 + 'V';
constexpr int OPT_JSON = 0x100 + 'J';
constexpr int OPT_CHECK = 0x100 + 'C';
constexpr int OPT_IFCHANGED = 0x100 + 'I';

// What the option reader gathers: the run's options, and the values that
// are checked once every option has been read and echoed.
struct read_values {
    run_options options;
    std::optional<std::string> upgrade_wait;
    std::optional<std::string> tftp_blksize;
    std::optional<std::string> backup_config_unread;  // a --backupconfig value that named no set
    std::vector<std::string> bad_options;             // unknown, ambiguous or missing their value
};

// One long option: how the reader knows it, the line that echoes its value
// (also "optarg=#...#" without a line end when `echo_raw`), where the value
// goes, and what the help says of it. A value goes to a text, a list, or a
// text that is checked after reading; the channel list and the options
// without a value have their own handling.
struct option_row {
    const char* name;
    bool takes_value;
    int code;
    const char* echo;
    bool echo_raw;
    std::optional<std::string> run_options::*text;
    std::optional<std::vector<std::string>> run_options::*list;
    std::optional<std::string> read_values::*checked;
    std::uint32_t id;        // run_option bit (0: none), for the action table's help
    const char* help_value;  // the value's name in the help
    const char* help;        // null: not listed in the help
};

// The long options, in the reader's order. The second "verbose" is never
// matched exactly but makes the shortened forms of verbose ambiguous.
// clang-format off
const option_row OPTIONS[] = {
    {"version", false, 'v', nullptr, false, nullptr, nullptr, nullptr, 0, nullptr, "Show the command version."},
    {"help", false, 'h', nullptr, false, nullptr, nullptr, nullptr, 0, nullptr, "Show the command help."},
    {"verbose", false, OPT_VERBOSE, nullptr, false, nullptr, nullptr, nullptr, 0, nullptr,
     "Trace the exchanges with the controller."},
    {"action", true, 'a', "ACTION=%s\n", false, &run_options::action, nullptr, nullptr, 0, "ACTION",
     "The action to run (above)."},
    {"channel", true, 'c', "CHANNEL=%s\n", false, nullptr, nullptr, nullptr, OPTION_CHANNEL, "LIST",
     "Channel numbers, JSON: 2 or [1,4]."},
    {"channelcsvfile", true, 'f', "CHANNELCSVFILE=%s\n", true, nullptr, &run_options::channel_csv_files, nullptr,
     OPTION_CHANNEL_CSV_FILE, "LIST", "Channel CSV files, JSON strings: [\"ch1.csv\"]."},
    {"channelgroupscsvfile", true, 'q', "CHANNELGROUPSCSVFILE=%s\n", true, nullptr,
     &run_options::channel_groups_csv_files, nullptr, OPTION_GROUPS_CSV_FILE, "LIST",
     "Channel groups CSV files, JSON strings."},
    {"channelinputscsvfile", true, 'p', "CHANNELINPUTSCSVFILE=%s\n", true, nullptr,
     &run_options::channel_inputs_csv_files, nullptr, OPTION_INPUTS_CSV_FILE, "LIST",
     "Channel inputs CSV files, JSON strings."},
    {"ip", true, 'i', "IP=%s\n", false, &run_options::ip, nullptr, nullptr, OPTION_IP, "ADDRESS[:PORT]",
     "Address of the controller."},
    {"backupfileout", true, 'o', "BackupFileOut%s\n", false, &run_options::backup_file_out, nullptr, nullptr,
     OPTION_BACKUP_FILE_OUT, "FOLDER", "Output folder."},
    {"backupfileouttype", true, 't', "BackupFileOutType%s\n", false, &run_options::backup_file_out_type, nullptr,
     nullptr, OPTION_BACKUP_FILE_OUT_TYPE, "TYPE", "zip or directory (get_backup)."},
    {"backupconfig", true, 'g', "BackupConfig%s\n", false, nullptr, &run_options::backup_config, nullptr,
     OPTION_BACKUP_CONFIG, "LIST", "Configuration set names, JSON strings (get_backup)."},
    {"backupfilein", true, 'j', "BackupFileIn%s\n", false, &run_options::backup_file_in, nullptr, nullptr,
     OPTION_BACKUP_FILE_IN, "PATH", "Backup archive, backup folder or set tar."},
    {"firmwarefile", true, 'u', "FIRMWAREFILE=%s\n", false, &run_options::firmware_file, nullptr, nullptr,
     OPTION_FIRMWARE_FILE, "FILE", "Firmware package or image."},
    {"comparewith", true, OPT_COMPARE_WITH, "CompareWith%s\n", false, &run_options::compare_with, nullptr, nullptr,
     OPTION_COMPARE_WITH, "PATH", "The second backup of diff_backup."},
    {"upgradewait", true, OPT_UPGRADE_WAIT, "UpgradeWait%s\n", false, nullptr, nullptr, &read_values::upgrade_wait,
     OPTION_UPGRADE_WAIT, "SECONDS", "Wait for the controller to run the new firmware (default 300; 0: no wait)."},
    {"tftpblksize", true, OPT_TFTP_BLKSIZE, "TftpBlksize%s\n", false, nullptr, nullptr, &read_values::tftp_blksize,
     0, "N", "TFTP block size, 8 to 65464 (default 128); larger sizes only for controllers known to accept them."},
    {"json", false, OPT_JSON, nullptr, false, nullptr, nullptr, nullptr, 0, nullptr,
     "One JSON document of the run's result on standard output; the other output goes to standard error."},
    {"check", false, OPT_CHECK, nullptr, false, nullptr, nullptr, nullptr, 0, nullptr,
     "Change nothing: say what put_backup, setup_channel or push_firmware would change."},
    {"ifchanged", false, OPT_IFCHANGED, nullptr, false, nullptr, nullptr, nullptr, 0, nullptr,
     "Change only what differs from the controller (put_backup, setup_channel, push_firmware)."},
    {"delete", true, 0, nullptr, false, nullptr, nullptr, nullptr, 0, "VALUE", "Echoed only."},
    {"verbose", false, 0, nullptr, false, nullptr, nullptr, nullptr, 0, nullptr, nullptr},
    {"create", true, 'c', nullptr, false, nullptr, nullptr, nullptr, 0, "LIST", "Same as --channel."},
    {"file", true, 0, nullptr, false, nullptr, nullptr, nullptr, 0, "VALUE", "Echoed only."},
};
// clang-format on

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

// The long name of an option bit, for the help's list of actions.
const char* option_name(std::uint32_t id) {
    for (const option_row& row : OPTIONS) {
        if (row.id == id) return row.name;
    }
    return "";
}

// "--ip --channel (--a|--b) [--c --d]": the options of an action's row.
std::string action_options_text(const action_row& row) {
    std::string text;
    auto names = [](std::uint32_t bits, const char* separator) {
        std::string list;
        for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
            if (!(bits & bit)) continue;
            if (!list.empty()) list += separator;
            list += std::string("--") + option_name(bit);
        }
        return list;
    };
    auto add = [&text](const std::string& part) {
        if (part.empty()) return;
        if (!text.empty()) text += ' ';
        text += part;
    };
    add(names(row.required, " "));
    if (row.one_of) add("(" + names(row.one_of, "|") + ")");
    if (row.optional) add("[" + names(row.optional, " ") + "]");
    return text;
}

void print_help() {
    for (const char* line : HELP_LINES) console_printf("%s", line);
    console_printf("\nUsage: ornat-cli --action ACTION [options]\n\nActions:\n");
    for (const action_row& row : action_table()) {
        const std::string options = action_options_text(row);
        console_printf("  %-21s%s%s%s\n", row.name, options.c_str(), options.empty() ? "" : ": ", row.usage);
    }
    console_printf("\nOptions:\n");
    for (const option_row& row : OPTIONS) {
        if (!row.help) continue;
        const std::string name =
            std::string("--") + row.name + (row.help_value ? std::string(" ") + row.help_value : "");
        console_printf("  %-29s%s\n", name.c_str(), row.help);
    }
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

// A configuration set name goes into the fetch URL and names the set's
// member or file: letters, digits, '_', '.' and '-', and not starting with
// '.', so that it can neither change the URL nor leave the output folder.
bool set_name_acceptable(const std::string& name) {
    if (name.empty() || name.front() == '.') return false;
    for (unsigned char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '.' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// Echoes and stores one value option. -a takes no value: with none there is
// nothing to echo or store.
void take_value(const option_row& option, read_values& values) {
    run_options& o = values.options;
    const char* value = platform_option_value();
    console_printf(option.echo, value ? value : "");
    if (!value) return;
    if (option.echo_raw) console_printf("optarg=#%s#", value);
    if (option.text) {
        o.*option.text = value;
    } else if (option.checked) {
        values.*option.checked = value;
    } else if (option.list) {
        std::optional<std::vector<std::string>> read;
        fill_strings(value, read);
        if (read) {
            o.*option.list = std::move(read);
        } else if (option.list == &run_options::backup_config) {
            values.backup_config_unread = value;
        }
    } else {
        fill_channels(value, o.channels);
    }
}

const option_row* option_with_code(int code) {
    for (const option_row& row : OPTIONS) {
        if (row.code == code && row.echo) return &row;
    }
    return nullptr;
}

// The result document of a run with --json. Its state is the process's
// because an interrupted run writes its document from a signal handler:
// the handler finds the document ready in pieces (renewed, with the
// handlers held off, whenever a message arrives or the run takes a step)
// and only adds the exit status and the seconds.
struct json_run {
    bool on = false;
    std::uint64_t started_ms = 0;
    run_report report;
    run_report_pieces ready;
};
json_run json_state;

void renew_interrupted_document() {
    if (!json_state.on) return;
    run_report_pieces pieces = run_report_interrupted(json_state.report);
    platform_interrupts_hold();
    std::swap(json_state.ready, pieces);
    platform_interrupts_release();
}

void keep_message(message_level level, const std::string& text, void*) {
    run_report_note(&json_state.report, level, text);
    renew_interrupted_document();
}

// Digits of a number, without the C library (a signal handler's work).
void write_number(std::uint64_t n) {
    char digits[24];
    std::size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    platform_write_stdout(digits + i, sizeof digits - i);
}

void write_interrupted_document(int status) {
    if (!json_state.on) return;
    const std::uint64_t ms = platform_monotonic_ms() - json_state.started_ms;
    const run_report_pieces& pieces = json_state.ready;
    platform_write_stdout(pieces.before_status.data(), pieces.before_status.size());
    write_number(static_cast<std::uint64_t>(status));
    platform_write_stdout(pieces.before_seconds.data(), pieces.before_seconds.size());
    write_number(ms / 1000);
    const char fraction[] = {'.', static_cast<char>('0' + ms / 100 % 10), static_cast<char>('0' + ms / 10 % 10),
                             static_cast<char>('0' + ms % 10)};
    platform_write_stdout(fraction, sizeof fraction);
    platform_write_stdout(pieces.after_seconds.data(), pieces.after_seconds.size());
}

// Ends the run with `status`: with --json after writing its document.
int finish(int status) {
    curl_global_cleanup();
    std::fflush(stdout);
    std::fflush(stderr);
    if (json_state.on) {
        const double seconds = static_cast<double>(platform_monotonic_ms() - json_state.started_ms) / 1000.0;
        const std::string document = run_report_document(json_state.report, status, seconds);
        platform_interrupts_hold();  // a signal now would write a second document
        platform_write_stdout(document.data(), document.size());
        json_state.on = false;
        platform_interrupts_release();
    }
    return status;
}

// --help and --version end the process where they stand.
[[noreturn]] void end_now(int status) {
    if (json_state.on) {
        finish(status);
    } else {
        std::fflush(stdout);
    }
    std::exit(status);
}

// Whether the command line asks for --json (or a prefix of it), which must
// be known before the banner is printed.
bool wants_json(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() >= 3 && arg.size() <= 6 && std::string("--json").starts_with(arg)) return true;
    }
    return false;
}

// Reads the command line into `values`; --help and --version end the
// process from here.
void parse_options(int argc, char** argv, read_values& values) {
    std::vector<platform_option> table;
    for (const option_row& row : OPTIONS) table.push_back({row.name, row.takes_value, nullptr, row.code});
    table.push_back({nullptr, false, nullptr, 0});
    int digit_index = 0;
    for (;;) {
        int noted_index = platform_option_index() ? platform_option_index() : 1;
        int long_index = 0;
        int c = platform_next_option(argc, argv, SHORT_OPTIONS, table.data(), &long_index);
        if (c == -1) break;
        switch (c) {
            case 0:
                console_printf("option %s", OPTIONS[long_index].name);
                if (platform_option_value()) console_printf(" with arg %s", platform_option_value());
                console_printf("\n");
                break;
            case OPT_VERBOSE:
                console_printf("option %s\n", OPTIONS[long_index].name);
                values.options.transfer.verbose = true;
                break;
            case OPT_JSON: values.options.json = true; break;
            case OPT_CHECK: values.options.check = true; break;
            case OPT_IFCHANGED: values.options.ifchanged = true; break;
            case '0':
            case '1':
            case '2':
                if (digit_index != 0 && digit_index != noted_index)
                    console_printf("digits occur in two different argv-elements.\n");
                console_printf("option %c\n", c);
                digit_index = noted_index;
                break;
            case 'h': print_help(); end_now(EXIT_DONE);
            case 'v': console_printf("Version %s\n", TOOL_VERSION); end_now(EXIT_DONE);
            default:
                if (const option_row* option = option_with_code(c)) {
                    take_value(*option, values);
                    break;
                }
                console_printf("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
                // An unknown option, an ambiguous prefix or an option
                // without its value: the run must not guess what was meant.
                if (c == '?') {
                    const int at = platform_option_index() - 1;
                    values.bad_options.push_back(at > 0 && at < argc ? argv[at] : "?");
                    message_note(message_level::error,
                                 "Unknown option, ambiguous option or option without its value: '" +
                                     shown_name(values.bad_options.back()) + "'.");
                }
                break;
        }
    }
}

// Option values that would reach URLs and paths are checked before any
// action runs: EXIT_USAGE after naming each refused value, else EXIT_DONE.
int check_option_values(read_values& values) {
    run_options& o = values.options;
    int status = values.bad_options.empty() ? EXIT_DONE : EXIT_USAGE;
    std::string host;
    unsigned port = 0;
    if (o.ip && !controller_address_parse(*o.ip, &host, &port)) {
        log_printf_color(COLOR_RED,
                         "Invalid controller address '%s' (a host name or address with an optional :PORT; "
                         "IPv6 in brackets).",
                         o.ip->c_str());
        status = EXIT_USAGE;
    }
    // A selection that cannot be read must not turn into a backup of every set.
    if (values.backup_config_unread) {
        log_printf_color(COLOR_RED,
                         "No configuration set name read from --backupconfig '%s' (a JSON list of set "
                         "names, such as [\"dali1\"]).",
                         values.backup_config_unread->c_str());
        status = EXIT_USAGE;
    }
    if (values.tftp_blksize) {
        if (std::optional<long> size = tftp_block_size(*values.tftp_blksize)) {
            o.transfer.tftp_block_size = *size;
        } else {
            log_printf_color(COLOR_RED, "Invalid --tftpblksize value '%s' (a whole number of bytes from %ld to %ld).",
                             values.tftp_blksize->c_str(), TFTP_BLOCK_SIZE_MIN, TFTP_BLOCK_SIZE_MAX);
            status = EXIT_USAGE;
        }
    }
    if (values.upgrade_wait) {
        if (std::optional<unsigned> seconds = upgrade_wait_seconds(*values.upgrade_wait)) {
            o.upgrade_wait = *seconds;
            o.upgrade_wait_given = true;
        } else {
            log_printf_color(COLOR_RED, "Invalid --upgradewait value '%s' (whole seconds from 0 to 4294967295).",
                             values.upgrade_wait->c_str());
            status = EXIT_USAGE;
        }
    }
    if (o.backup_config) {
        // A name outside the set table is fetched all the same: a controller
        // with a newer firmware may have sets the table lacks.
        for (const std::string& name : *o.backup_config) {
            if (!set_name_acceptable(name)) {
                log_printf_color(COLOR_RED,
                                 "Invalid configuration set name '%s' (letters, digits, '_', '.' and '-', not "
                                 "starting with '.').",
                                 name.c_str());
                status = EXIT_USAGE;
            }
        }
    }
    return status;
}

int run(int argc, char** argv) {
    // Colour follows the NO_COLOR convention: set and not empty, no colour.
    output_without_colours(platform_getenv("NO_COLOR").has_value());
    if (wants_json(argc, argv)) {
        // Standard output carries the one document; every line the run
        // prints goes to standard error.
        json_state.on = true;
        json_state.started_ms = platform_monotonic_ms();
        console_to_stderr(true);
        log_set_message_sink(keep_message, nullptr);
        renew_interrupted_document();
    }
    // Ctrl-C, a kill or a closed terminal end the run without leaving
    // temporary output files behind (and with --json, with its document).
    temp_cleanup_on_signals(write_interrupted_document);
    console_printf("%s\n", TOOL_NAME);
    curl_global_init(CURL_GLOBAL_ALL);

    read_values values;
    parse_options(argc, argv, values);
    const run_options& o = values.options;
    json_state.report.action = o.action;
    json_state.report.address = o.ip;
    json_state.report.check = o.check;
    renew_interrupted_document();

    if (platform_option_index() < argc) {
        console_printf("non-option ARGV-elements: ");
        for (int i = platform_option_index(); i < argc; ++i) console_printf("%s ", argv[i]);
        console_printf("\n");
    }
    if (o.action) console_printf("optAction=%s\n", o.action->c_str());
    if (o.ip) console_printf("optIP=%s\n", o.ip->c_str());
    if (o.backup_file_out) console_printf("optBackupFileOut=%s\n", o.backup_file_out->c_str());
    if (o.backup_file_out_type) console_printf("optBackupFileOutType=%s\n", o.backup_file_out_type->c_str());

    int status = check_option_values(values);
    if (status == EXIT_DONE && o.action) {
        if (const action_row* row = action_find(*o.action)) {
            status = action_dispatch(*row, o, json_state.report);
        } else {
            console_printf("\nAction '%s' not defined.\n", o.action->c_str());
            message_note(message_level::error, "Action '" + shown_name(*o.action) + "' not defined.");
            status = EXIT_USAGE;
        }
    }
    return finish(status);
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
