#include "backup/config_sets.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(ConfigSets, CountsAndUniqueness) {
    const auto& list = backup_config_list();
    const auto& table = restore_config_table();
    ASSERT_EQ(list.size(), 603u);
    ASSERT_EQ(table.size(), 603u);
    std::set<std::string> names(list.begin(), list.end());
    EXPECT_EQ(names.size(), 603u);
    std::set<std::string> from_table;
    std::set<std::string> paths;
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].index, i);
        ASSERT_GT(table[i].tar_name.size(), 4u);
        from_table.insert(table[i].tar_name.substr(0, table[i].tar_name.size() - 4));
        paths.insert(table[i].path);
    }
    EXPECT_EQ(from_table, names);  // the same sets in both tables
    EXPECT_EQ(paths.size(), 603u);
}

TEST(ConfigSets, FetchOrder) {
    const auto& list = backup_config_list();
    const std::vector<std::string> head = {
        "systemconfig", "bastimeout", "schedules", "schedulesastro", "rlc", "commanders", "dali1",
        "dali2", "dali3", "dali4", "cd1", "cd2", "cd3", "cd4", "daincd1", "daincd2", "daincd3",
        "daincd4", "system_ui32", "dalv", "daeu", "daeutr", "daeutc", "dacdlcm", "dacdlcr",
        "rlcnamenvp", "cmdrnamenvp", "dali_dt1_1_0", "dali_dt1_1_1"};
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.begin() + head.size()), head);
    EXPECT_EQ(list[27 + 63], "dali_dt1_1_63");
    EXPECT_EQ(list[27 + 64], "dali_dt1_2_0");
    EXPECT_EQ(list[282], "dali_dt1_4_63");
    EXPECT_EQ(list[283], "dali_dt8_1_0");
    EXPECT_EQ(list[538], "dali_dt8_4_63");
    EXPECT_EQ(list[539], "views0");
    EXPECT_EQ(list[602], "views63");
}

TEST(ConfigSets, RestoreTableRowsAndPaths) {
    const auto& table = restore_config_table();
    struct Row {
        std::size_t index;
        const char* tar_name;
        const char* path;
    };
    const Row rows[] = {
        {0, "systemconfig.tar", "/etc/config/system/systemconfig.bin"},
        {1, "bastimeout.tar", "/etc/config/bastimeout/bastimeout.bin"},
        {2, "dali1.tar", "/etc/config/dali/dali1.bin"},
        {9, "cd4.tar", "/etc/config/dali/cd4.bin"},
        {10, "daincd1.tar", "/etc/config/nvp/daincd1.bin"},
        {14, "schedules.tar", "/etc/config/schedule/schedule.bin"},
        {15, "schedulesastro.tar", "/etc/config/schedule/scheduleastro.bin"},
        {16, "rlc.tar", "/etc/config/rlc/rlc.bin"},
        {17, "commanders.tar", "/etc/config/cmdr/cmdr.bin"},
        {26, "cmdrnamenvp.tar", "/etc/config/nvp/cmdrnamenvp.bin"},
        {27, "dali_dt1_1_0.tar", "/etc/config/dali/dali_dt1_1_0.bin"},
        {283, "dali_dt8_1_0.tar", "/etc/config/dali/dali_dt8_1_0.bin"},
        {538, "dali_dt8_4_63.tar", "/etc/config/dali/dali_dt8_4_63.bin"},
        {602, "views63.tar", "/etc/config/views/views63.bin"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(table[row.index].tar_name, row.tar_name);
        EXPECT_EQ(table[row.index].path, row.path);
    }
}

TEST(ConfigSets, MemberLookupIsExact) {
    ASSERT_NE(restore_config_find("dali_dt8_1_0.tar"), nullptr);
    EXPECT_EQ(restore_config_find("dali_dt8_1_0.tar")->index, 283u);
    EXPECT_EQ(restore_config_find("views63.tar")->index, 602u);
    for (const char* other : {"tool.txt", "flashfs.bin", "log.txt", "DALI1.TAR", "dali1", "dali1.tar "}) {
        EXPECT_EQ(restore_config_find(other), nullptr) << other;
    }
}

}  // namespace
