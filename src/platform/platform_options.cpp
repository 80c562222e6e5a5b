// Reading the command line through getopt_long, which both builds have
// (glibc on Linux, the mingw-w64 runtime on Windows); kept here so that the
// option reader's header stays inside the platform layer.
#include "platform/platform.h"

#include <getopt.h>

#include <vector>

int platform_next_option(int argc, char** argv, const char* short_options, const platform_option* long_options,
                         int* long_index) {
    std::vector<option> table;
    for (const platform_option* o = long_options; o->name; ++o)
        table.push_back({o->name, o->takes_value ? required_argument : no_argument, o->flag, o->code});
    table.push_back({nullptr, 0, nullptr, 0});
    return getopt_long(argc, argv, short_options, table.data(), long_index);
}

const char* platform_option_value() { return optarg; }

int platform_option_index() { return optind; }
