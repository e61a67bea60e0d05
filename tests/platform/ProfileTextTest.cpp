#include <gtest/gtest.h>

#include "TestUtil.h"
#include "platform/Profile.h"
#include "platform/Text.h"

TEST(Profile, MissingFileGivesDefaultsAndWriteCreates) {
    testutil::TempDir dir;
    const std::string f = dir.File("Config.dat");
    EXPECT_EQ(GetPrivateProfileInt("register", "ScanRaw", 1, f.c_str()), 1);
    EXPECT_TRUE(WritePrivateProfileString("register", "ScanRaw", "0", f.c_str()));
    EXPECT_EQ(GetPrivateProfileInt("REGISTER", "scanraw", 1, f.c_str()), 0);
}
