// The command-line main: banner, option parsing, echo lines, dispatch of one
// action, cleanup. Returns the process exit status: 0 done, 2 usage errors
// (unknown action, missing arguments, refused backup version), 1 any other
// failure of the action.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

int cli_main(int argc, char** argv);

// Set by --verbose; the controller transfers turn libcurl's trace on with it.
extern int verbose_flag;

// One occurrence of a list option, read as a JSON value: strings (and for
// channels numbers, truncated toward zero) become entries until the first
// array end, the end of the value or a parse error. An occurrence that
// yields entries replaces the earlier list; one that yields none leaves it.
void fill_channels(const char* text, std::optional<std::vector<std::uint32_t>>& list);
void fill_strings(const char* text, std::optional<std::vector<std::string>>& list);
