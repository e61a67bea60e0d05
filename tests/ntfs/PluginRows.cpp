// The NTFS tests make NTFS roots and folders through the plug-in table: its NTFS row is
// registered before the first test.
#include <gtest/gtest.h>

#include "fs/ntfs/NtfsFactories.h"

namespace {
class PluginRows : public ::testing::Environment {
public:
    void SetUp() override { RegisterNtfsPlugin(); }
};
[[maybe_unused]] ::testing::Environment* const g_rows = ::testing::AddGlobalTestEnvironment(new PluginRows);
}  // namespace
