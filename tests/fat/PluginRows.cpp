// The FAT and exFAT tests make their roots and folders through the plug-in table: both rows are
// registered before the first test.
#include <gtest/gtest.h>

#include "fs/fat/FatFactories.h"

namespace {
class PluginRows : public ::testing::Environment {
public:
    void SetUp() override {
        RegisterFatPlugin();
        RegisterExFatPlugin();
    }
};
[[maybe_unused]] ::testing::Environment* const g_rows = ::testing::AddGlobalTestEnvironment(new PluginRows);
}  // namespace
