#include "backup/config_sets.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace {

TEST(ConfigSets, BothTablesHoldTheSameSets) {
    const auto& list = backup_config_list();
    const auto& table = restore_config_table();
    ASSERT_EQ(list.size(), 603u);
    ASSERT_EQ(table.size(), 603u);
    // Every fetched set has its restore entry under its name and ".tar", at
    // its own index; distinct paths mean that no two names share an entry.
    std::set<std::string> paths;
    for (const std::string& name : list) {
        const restore_config_entry* entry = restore_config_find(name + ".tar");
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_EQ(&table[entry->index], entry) << name;
        paths.insert(entry->path);
    }
    EXPECT_EQ(paths.size(), 603u);
    // The lookup is exact.
    for (const char* other : {"tool.txt", "log.txt", "DALI1.TAR", "dali1", "dali1.tar "}) {
        EXPECT_EQ(restore_config_find(other), nullptr) << other;
    }
}

// The fetch order is the end-to-end test's, against the simulator's own
// list. Restore order, with device paths that do not follow the set name:
TEST(ConfigSets, RestoreOrderSpotChecks) {
    const std::tuple<std::size_t, const char*, const char*> restored[] = {
        {2, "dali1.tar", "/etc/config/dali/dali1.bin"},
        {10, "daincd1.tar", "/etc/config/nvp/daincd1.bin"},
        {14, "schedules.tar", "/etc/config/schedule/schedule.bin"},
        {17, "commanders.tar", "/etc/config/cmdr/cmdr.bin"},
        {539, "views0.tar", "/etc/config/views/views0.bin"}};
    for (const auto& [index, tar_name, path] : restored) {
        EXPECT_EQ(restore_config_table()[index].tar_name, tar_name) << index;
        EXPECT_EQ(restore_config_table()[index].path, path) << index;
    }
}

}  // namespace
