#pragma once
// The tests' saved-result streams: one section kept in memory (support/MemoryStream.h), and one
// section written to and read back from a real saved-result file. Header-only, so that the support
// library needs no engine code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "engine/RSData.h"
#include "support/MemoryStream.h"

namespace testutil {


// Writes one section `section` of a new saved-result file `dir`/`name` and returns its path.
inline std::string WriteSection(const TempDir& dir, const std::string& name, const MGUID& section,
                                const std::function<void(IRSData*)>& write) {
    const std::string path = dir.File(name);
    CRSDataEx out(1);
    EXPECT_TRUE(out.Open(path.c_str(), 1));
    EXPECT_TRUE(out.WriteHeader(MakeScanResultHeader(1)));
    out.BeginSection(section);
    write(&out);
    out.EndSection();
    out.Close();
    return path;
}

// The data bytes of the file's section, which must be exactly `size` long.
inline std::vector<u8> SectionBytes(const std::string& path, const MGUID& section, u32 size) {
    CRSDataEx in(0);
    EXPECT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(section);
    std::vector<u8> data = in.ReadBlob(size);
    EXPECT_THROW(in.ReadU8(), IRSException);
    return data;
}

}  // namespace testutil
