#include "backup/config_sets.h"

namespace {

// The single sets in restore order; the device path is
// "/etc/config/<directory>/<file>.bin".
struct single_set {
    const char* name;
    const char* directory;
    const char* file;  // file name without ".bin"
    unsigned fetch_position;
};

const single_set SINGLE_SETS[] = {
    {"systemconfig", "system", "systemconfig", 0},
    {"bastimeout", "bastimeout", "bastimeout", 1},
    {"dali1", "dali", "dali1", 6},
    {"dali2", "dali", "dali2", 7},
    {"dali3", "dali", "dali3", 8},
    {"dali4", "dali", "dali4", 9},
    {"cd1", "dali", "cd1", 10},
    {"cd2", "dali", "cd2", 11},
    {"cd3", "dali", "cd3", 12},
    {"cd4", "dali", "cd4", 13},
    {"daincd1", "nvp", "daincd1", 14},
    {"daincd2", "nvp", "daincd2", 15},
    {"daincd3", "nvp", "daincd3", 16},
    {"daincd4", "nvp", "daincd4", 17},
    {"schedules", "schedule", "schedule", 2},
    {"schedulesastro", "schedule", "scheduleastro", 3},
    {"rlc", "rlc", "rlc", 4},
    {"commanders", "cmdr", "cmdr", 5},
    {"system_ui32", "nvp", "system_ui32", 18},
    {"dalv", "nvp", "dalv", 19},
    {"daeu", "nvp", "daeu", 20},
    {"daeutr", "nvp", "daeutr", 21},
    {"daeutc", "nvp", "daeutc", 22},
    {"dacdlcm", "nvp", "dacdlcm", 23},
    {"dacdlcr", "nvp", "dacdlcr", 24},
    {"rlcnamenvp", "nvp", "rlcnamenvp", 25},
    {"cmdrnamenvp", "nvp", "cmdrnamenvp", 26},
};
constexpr std::size_t SINGLE_COUNT = sizeof SINGLE_SETS / sizeof SINGLE_SETS[0];

// The families that follow the single sets, in the same order in both
// tables: set name = prefix + (channel "_" when per channel) + number.
struct set_family {
    const char* prefix;
    const char* directory;
    bool per_channel;  // channels 1..4, numbers 0..63 (number runs fastest)
};

const set_family FAMILIES[] = {
    {"dali_dt1_", "dali", true},
    {"dali_dt8_", "dali", true},
    {"views", "views", false},
};

struct named_set {
    std::string name;
    std::string path;
};

// Every set in restore order.
std::vector<named_set> all_sets() {
    std::vector<named_set> sets;
    sets.reserve(CONFIG_SET_COUNT);
    for (const single_set& s : SINGLE_SETS)
        sets.push_back({s.name, std::string("/etc/config/") + s.directory + "/" + s.file + ".bin"});
    for (const set_family& f : FAMILIES) {
        const unsigned channels = f.per_channel ? 4 : 1;
        for (unsigned c = 1; c <= channels; ++c) {
            for (unsigned n = 0; n < 64; ++n) {
                std::string name = f.prefix;
                if (f.per_channel) name += std::to_string(c) + "_";
                name += std::to_string(n);
                sets.push_back({name, std::string("/etc/config/") + f.directory + "/" + name + ".bin"});
            }
        }
    }
    return sets;
}

}  // namespace

const std::vector<std::string>& backup_config_list() {
    static const std::vector<std::string> list = [] {
        std::vector<named_set> sets = all_sets();
        std::vector<std::string> names(sets.size());
        for (std::size_t i = 0; i < sets.size(); ++i) {
            std::size_t position = i < SINGLE_COUNT ? SINGLE_SETS[i].fetch_position : i;
            names[position] = sets[i].name;
        }
        return names;
    }();
    return list;
}

const std::vector<restore_config_entry>& restore_config_table() {
    static const std::vector<restore_config_entry> table = [] {
        std::vector<named_set> sets = all_sets();
        std::vector<restore_config_entry> entries;
        entries.reserve(sets.size());
        for (std::size_t i = 0; i < sets.size(); ++i) entries.push_back({i, sets[i].name + ".tar", sets[i].path});
        return entries;
    }();
    return table;
}

const restore_config_entry* restore_config_find(const std::string& member_name) {
    for (const restore_config_entry& entry : restore_config_table()) {
        if (entry.tar_name == member_name) return &entry;
    }
    return nullptr;
}

config_set_layout config_set_layout_of(std::uint64_t index) {
    constexpr std::uint64_t FIRST_CHANNEL_SET = 2, FIRST_INPUTS_SET = 6, LAST_INPUTS_SET = 9;
    if (index < FIRST_CHANNEL_SET || index > LAST_INPUTS_SET) return config_set_layout::none;
    return index < FIRST_INPUTS_SET ? config_set_layout::channel : config_set_layout::inputs;
}

std::string config_set_name(const restore_config_entry& entry) {
    return entry.tar_name.substr(0, entry.tar_name.size() - 4);
}
