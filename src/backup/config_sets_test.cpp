#include "backup/config_sets.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <utility>

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

TEST(ConfigSets, OrderSpotChecks) {
    // Fetch order: the single sets (schedules, schedulesastro, rlc and
    // commanders before dali1), then dali_dt1, dali_dt8 and views.
    const std::pair<std::size_t, const char*> fetched[] = {
        {0, "systemconfig"}, {2, "schedules"},     {5, "commanders"},    {6, "dali1"},           {26, "cmdrnamenvp"},
        {27, "dali_dt1_1_0"}, {91, "dali_dt1_2_0"}, {283, "dali_dt8_1_0"}, {538, "dali_dt8_4_63"}, {602, "views63"}};
    for (const auto& [index, name] : fetched) EXPECT_EQ(backup_config_list()[index], name) << index;
    // Restore order, with device paths that do not follow the set name.
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
