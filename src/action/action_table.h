// The action table: one row per action name of `--action`, and the
// dispatch that runs a row. A row says which options the action needs,
// what the help says of it, whether it changes the controller, and how a
// missing option is reported; the help's list of actions, the check for
// missing options and the dispatch all come from it.
//
// Dispatching a row, in order:
//   1. Its options: when one it requires is missing, the row's own message
//      and exit status 2; nothing is sent.
//   2. A row that changes the controller takes the controller's lock
//      (controller_lock.h) and holds it to the end of the run, so that its
//      reads and writes of the controller are never interleaved with
//      another run's.
//   3. A row with a safety backup saves a backup archive of the controller
//      into the user's Downloads folder first. When no archive could be
//      written at all, the action does not run (exit status 1); damaged
//      sets inside an archive are reported and the action goes on; without
//      a Downloads folder the action goes on after a warning.
//   4. The action.
// With --check a row that changes the controller takes no lock and makes
// no safety backup: the action only reads and compares. With --ifchanged
// the safety backup waits until the action has found something to change.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "action/run_options.h"
#include "action/run_report.h"
#include "transfer/controller_link.h"

// How an action reports missing options.
enum class missing_report {
    console,          // "Missing arguments for action NAME." on standard output, no line end
    console_and_log,  // the same, then as a red log line
    log,              // a red log line only
    read_file,        // the red "[ERROR] Invalid arguments to action_read_file" line
};

struct action_row {
    const char* name;
    std::uint32_t required;  // run_option bits that must all be given
    std::uint32_t one_of;    // at least one of these (0: no such group)
    std::uint32_t optional;  // shown in the help
    const char* usage;       // what the action does
    missing_report missing;
    bool changes_controller;
    const char* safety_backup;  // the start line of the safety backup ("%s": the folder), or null
    int (*run)(const run_options& o, const controller_link& link, const change_mode& mode, run_report& report);
};

std::span<const action_row> action_table();
// The row of that exact name, or null.
const action_row* action_find(const std::string& name);
// Runs a row as above; returns the exit status.
int action_dispatch(const action_row& row, const run_options& o, run_report& report);
