// What a run did, beside its exit status, for the one JSON document that a
// run with --json writes on standard output. docs/json-schema.json
// describes the document; every document has the common members below,
// and a run that got as far as its action the members of its action.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "action/actions.h"
#include "json/json_value.h"
#include "window/window.h"

struct run_report {
    std::optional<std::string> action;
    std::optional<std::string> address;
    bool check = false;
    bool changed = false;  // the run changed the controller or, with --check, would have
    bool partial = false;  // a failed run did part of its job (a backup with damaged sets, ...)
    bool trouble = false;  // exit status 2 of an action that ran into trouble, not a usage error
    std::optional<status_pairs> controller;
    std::optional<std::string> safety_backup;
    std::vector<std::pair<message_level, std::string>> messages;
    std::string messages_json;          // the messages written out, kept as they come (run_report_note)
    json_value fields = json_object();  // the members of the action
};

// Adds a message to the report.
void run_report_note(run_report* report, message_level level, const std::string& text);

// The document of a run that ended with `exit_status` after `seconds`.
std::string run_report_document(const run_report& report, int exit_status, double seconds);

// The document of a run ended by a signal, in three pieces to be joined by
// the exit status and the seconds: a signal handler can write it without
// building anything.
struct run_report_pieces {
    std::string before_status, before_seconds, after_seconds;
};
run_report_pieces run_report_interrupted(const run_report& report);

// The JSON form of a list of set changes and of the controller's status.
json_value set_changes_json(const std::vector<set_change>& changes);
json_value status_json(const status_pairs& pairs);
