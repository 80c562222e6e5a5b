// The command-line main: banner, option parsing, echo lines, dispatch of one
// action through the action table, cleanup. Returns the process exit
// status: 0 done, 2 usage errors (an unknown, ambiguous or incomplete
// option, an unknown action, missing arguments, a refused backup version, a
// controller address that is not a host with an optional port, a
// configuration set name that could change a URL or a path, a --tftpblksize
// value that is not a whole number from 8 to 65464, an --upgradewait value
// that is not whole seconds), 1 any other failure of the action.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

int cli_main(int argc, char** argv);

// One occurrence of a list option, read as a JSON value: strings (and for
// channels numbers, truncated toward zero) become entries until the first
// array end, the end of the value or a parse error. An occurrence that
// yields entries replaces the earlier list; one that yields none leaves it.
void fill_channels(const char* text, std::optional<std::vector<std::uint32_t>>& list);
void fill_strings(const char* text, std::optional<std::vector<std::string>>& list);
