// The engine's tests build NTFS, FAT, exFAT and RAW trees and run their searches through the
// scan modes: every row of the plug-in table is registered before the first test.
#include <gtest/gtest.h>

#include "plugins/Plugins.h"

namespace {
class PluginRows : public ::testing::Environment {
public:
    void SetUp() override { RegisterAllPlugins(); }
};
[[maybe_unused]] ::testing::Environment* const g_rows = ::testing::AddGlobalTestEnvironment(new PluginRows);
}  // namespace
