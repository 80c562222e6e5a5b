#include "backup/config_sets.h"

#include <gtest/gtest.h>

#include <set>

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

}  // namespace
