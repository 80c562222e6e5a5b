#include "action/run_report.h"

#include "common/version.h"

namespace {

const char* outcome_of(const run_report& report, int exit_status) {
    switch (exit_status) {
        case 0: return "ok";
        case 2: return report.trouble ? "failed" : "usage";
        case 1: return report.partial ? "partial" : "failed";
        default: return "interrupted";
    }
}

const char* level_text(message_level level) {
    switch (level) {
        case message_level::error: return "error";
        case message_level::warning: return "warning";
        case message_level::info:
        case message_level::unreported: return "info";
    }
    return "error";
}

json_value optional_text(const std::optional<std::string>& text) { return text ? json_text(*text) : json_value{}; }

json_value message_json(message_level level, const std::string& text) {
    json_value message = json_object();
    json_set(&message, "level", json_text(level_text(level)));
    json_set(&message, "text", json_text(text));
    return message;
}

// The common members, with the outcome and exit status given; the action's
// members follow those, and the duration comes last. Without `with_messages`
// the messages are an empty array, to be filled in from messages_json.
json_value document(const run_report& report, const char* outcome, int exit_status, bool with_fields,
                    bool with_messages = true) {
    json_value doc = json_object();
    json_set(&doc, "schema", json_int(1));
    json_set(&doc, "tool", json_text(TOOL_NAME));
    json_set(&doc, "version", json_text(TOOL_VERSION));
    json_set(&doc, "action", optional_text(report.action));
    json_set(&doc, "address", optional_text(report.address));
    json_set(&doc, "outcome", json_text(outcome));
    json_set(&doc, "exit_status", json_int(exit_status));
    json_set(&doc, "changed", json_bool(report.changed));
    json_set(&doc, "check", json_bool(report.check));
    json_set(&doc, "controller", report.controller ? status_json(*report.controller) : json_value{});
    json_set(&doc, "safety_backup", optional_text(report.safety_backup));
    json_value messages = json_array();
    if (with_messages) {
        for (const auto& [level, text] : report.messages) json_push(&messages, message_json(level, text));
    }
    json_set(&doc, "messages", std::move(messages));
    if (with_fields) {
        for (std::size_t i = 0; i < report.fields.keys.size(); ++i) {
            json_set(&doc, report.fields.keys[i], report.fields.items[i]);
        }
    }
    return doc;
}

}  // namespace

std::string run_report_document(const run_report& report, int exit_status, double seconds) {
    json_value doc = document(report, outcome_of(report, exit_status), exit_status, exit_status != 2 || report.trouble);
    json_set(&doc, "duration_s", json_number(seconds));
    return json_write(doc) + "\n";
}

void run_report_note(run_report* report, message_level level, const std::string& text) {
    report->messages.emplace_back(level, text);
    if (!report->messages_json.empty()) report->messages_json += ',';
    report->messages_json += json_write(message_json(level, text));
}

run_report_pieces run_report_interrupted(const run_report& report) {
    // Markers that no JSON text of the document can hold unescaped: numbers
    // outside every string, and the one empty messages array (in a string
    // its quotes would be escaped).
    constexpr std::int64_t STATUS_MARK = -1234567, SECONDS_MARK = -7654321;
    json_value doc = document(report, "interrupted", 0, false, false);
    json_set(&doc, "exit_status", json_int(STATUS_MARK));
    json_set(&doc, "duration_s", json_int(SECONDS_MARK));
    std::string text = json_write(doc) + "\n";
    const std::string empty = "\"messages\":[]";
    text.insert(text.find(empty) + empty.size() - 1, report.messages_json);
    const std::size_t status_at = text.find(std::to_string(STATUS_MARK));
    const std::size_t seconds_at = text.find(std::to_string(SECONDS_MARK));
    run_report_pieces pieces;
    pieces.before_status = text.substr(0, status_at);
    pieces.before_seconds = text.substr(status_at + 8, seconds_at - status_at - 8);
    pieces.after_seconds = text.substr(seconds_at + 8);
    return pieces;
}

json_value set_changes_json(const std::vector<set_change>& changes) {
    json_value list = json_array();
    for (const set_change& change : changes) {
        json_value entry = json_object();
        json_set(&entry, "mark", json_text(std::string(1, change.mark)));
        json_set(&entry, "set", json_text(change.set));
        json_set(&entry, "lines", json_texts(change.lines));
        json_push(&list, std::move(entry));
    }
    return list;
}

json_value status_json(const status_pairs& pairs) {
    json_value object = json_object();
    for (const auto& [key, value] : pairs) json_set(&object, key, json_text(value));
    return object;
}
