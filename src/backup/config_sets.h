// The controller's 603 configuration sets.
//
// Each set is one configuration file of the controller with a set name (the
// name it is fetched by), a tar name (the set name and ".tar", its member in
// a backup archive) and a device path (where the controller keeps it, and
// the name of the single member of the tar that restores it).
//
// Two orders exist. The fetch order of a backup starts systemconfig,
// bastimeout, schedules, schedulesastro, rlc, commanders, dali1..4, cd1..4,
// daincd1..4, then the other single sets; the restore table lists the dali,
// cd and daincd sets before schedules, schedulesastro, rlc and commanders.
// After the 27 single sets both orders continue with three families:
// dali_dt1_<c>_<n> (index 27 + 64(c-1) + n), dali_dt8_<c>_<n>
// (283 + 64(c-1) + n) for channels c = 1..4 and n = 0..63, and views<n>
// (539 + n) for n = 0..63.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t CONFIG_SET_COUNT = 603;

struct restore_config_entry {
    std::uint64_t index;   // position in the restore table, 0..602
    std::string tar_name;  // set name + ".tar"
    std::string path;      // device path on the controller
};

// The sets whose files have layouts: the channel files dali1..dali4
// (restore indexes 2..5) and the channel inputs files cd1..cd4 (6..9).
enum class config_set_layout { none, channel, inputs };
config_set_layout config_set_layout_of(std::uint64_t index);
// The set name of an entry: its tar name without ".tar".
std::string config_set_name(const restore_config_entry& entry);

// The set names in fetch order (603 names).
const std::vector<std::string>& backup_config_list();
// The restore table (603 entries, index order).
const std::vector<restore_config_entry>& restore_config_table();
// The entry whose tar name equals the member name exactly; null for any
// other name ("tool.txt", "flashfs.bin", "log.txt", "DALI1.TAR", ...).
const restore_config_entry* restore_config_find(const std::string& member_name);
