// Which claim on a stretch of the disk keeps it: one table of claims, each row the evidence of two
// or more files and which of them must be counted incomplete.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/ClusterClaims.h"
#include "engine/DataRunList.h"
#include "engine/FilePropertiesBase.h"

namespace {

class ClaimFile : public CFilePropertiesBase {
public:
    explicit ClaimFile(const std::string& name) { SetName(name.c_str()); }
    void SetName(const char* name) override { SetName16(name, false); }
    u32 GetValidFields() const override { return kValidCreationTime | kValidModificationTime | kValidState; }
    void Save(IRSData*) const override {}
    void Load(IRSData*) override {}
    u32 GetFileSystemKind() const override { return kPropertiesFat; }
    using CFilePropertiesBase::SetCreationTime;
    using CFilePropertiesBase::SetModificationTime;
};

bool Taken(const IFileProperties& f) { return (f.GetState() & kStateClustersTaken) != 0; }

// A day in FILETIME units, for readable times.
constexpr FILETIME64 kDay = 864000000000ull;

ClaimAge Deleted(FILETIME64 created, FILETIME64 modified, u32 generation = 0) {
    ClaimAge a;
    a.generation = generation;
    a.writtenFrom = created;
    a.writtenUntil = std::max(created, modified);
    return a;
}

ClaimAge Live(u32 generation = 0) {
    ClaimAge a;
    a.generation = generation;
    a.inUse = true;
    return a;
}

struct Row {
    const char* what;
    // Each file's age and its one stretch of sectors.
    struct Claimant {
        ClaimAge age;
        u64 first;
        u64 count;
        bool structure;  // a claim with no file
        bool taken;      // what the weighing must say
    };
    std::vector<Claimant> claimants;
};

ClaimAge Lsn(u64 lsn) {
    ClaimAge a;
    a.lsn = lsn;
    return a;
}

ClaimAge Carved() {
    ClaimAge a;
    a.carved = true;
    return a;
}

TEST(ClusterClaims, TheClaimProvenNewerKeepsEachSharedStretch) {
    const std::vector<Row> rows = {
        {"an intact file alone", {{Deleted(10 * kDay, 11 * kDay), 100, 8, false, false}}},
        {"two deleted on one cluster, the second created after the first was last written",
         {{Deleted(10 * kDay, 11 * kDay), 100, 8, false, true}, {Deleted(12 * kDay, 12 * kDay), 104, 8, false, false}}},
        {"the same, added the other way round",
         {{Deleted(12 * kDay, 12 * kDay), 104, 8, false, false}, {Deleted(10 * kDay, 11 * kDay), 100, 8, false, true}}},
        {"a copy keeps its source's old modification time but is created anew",
         {{Deleted(10 * kDay, 11 * kDay), 100, 8, false, true}, {Deleted(12 * kDay, 2 * kDay), 100, 8, false, false}}},
        {"the older file modified after the newer was created: no order",
         {{Deleted(10 * kDay, 13 * kDay), 100, 8, false, true}, {Deleted(12 * kDay, 12 * kDay), 100, 8, false, true}}},
        {"no times at all: no order", {{Deleted(0, 0), 100, 8, false, true}, {Deleted(0, 0), 100, 8, false, true}}},
        {"log sequence numbers decide before times",
         {{Lsn(500), 100, 8, false, false}, {Lsn(200), 100, 8, false, true}}},
        {"a live file keeps its clusters from a deleted one",
         {{Live(), 100, 8, false, false}, {Deleted(20 * kDay, 20 * kDay), 100, 8, false, true}}},
        {"an allocation structure takes clusters and is never counted",
         {{Live(), 0, 1000, true, false}, {Live(), 100, 8, false, false}, {Deleted(1, 1), 200, 8, false, true}}},
        {"two live files on one cluster: cross-linked",
         {{Live(), 100, 8, false, true}, {Live(), 107, 8, false, true}}},
        {"a newer volume's deleted file is newer than an older volume's live one",
         {{Live(0), 100, 8, false, true}, {Deleted(0, 0, 1), 100, 8, false, false}}},
        {"three generations: each older one loses where a newer one wrote",
         {{Live(0), 100, 64, false, true},
          {Deleted(5 * kDay, 5 * kDay, 1), 132, 64, false, true},
          {Live(2), 180, 8, false, false},
          {Live(0), 400, 8, false, false}}},
        {"a file found by its signature over a live one",
         {{Carved(), 100, 40, false, true}, {Live(), 120, 8, false, false}}},
        {"two files found by signature, one inside the other, are both whole",
         {{Carved(), 100, 40, false, false}, {Carved(), 110, 4, false, false}}},
        {"files that touch but do not share are both whole",
         {{Deleted(1, 1), 100, 8, false, false}, {Deleted(2, 2), 108, 8, false, false}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CClusterClaims claims;
        std::vector<std::unique_ptr<ClaimFile>> files;
        for (const auto& c : row.claimants) {
            files.push_back(c.structure ? nullptr : std::make_unique<ClaimFile>("f"));
            const auto id = claims.Add(files.back().get(), c.age);
            claims.AddSectors(id, c.first, c.count);
        }
        claims.Weigh("test");
        for (size_t i = 0; i < files.size(); ++i) {
            if (files[i]) {
                EXPECT_EQ(Taken(*files[i]), row.claimants[i].taken) << "claimant " << i;
            }
        }
    }
}

TEST(ClusterClaims, OneOwnersClaimsNeverWeighAndEveryRivalIsWeighed) {
    // A deleted entry a move left behind names the moved file's clusters: one owner.
    CClusterClaims claims;
    ClaimFile moved("moved"), left("left");
    claims.AddSectors(claims.Add(&moved, Live(), 7), 100, 8);
    claims.AddSectors(claims.Add(&left, Deleted(1, 1), 7), 100, 8);
    claims.Weigh("test");
    EXPECT_FALSE(Taken(moved));
    EXPECT_FALSE(Taken(left));

    // 120 one-cluster files deleted, then one file written over all of them and deleted: every
    // one of the 120 loses, however many there are.
    CClusterClaims rivals;
    std::vector<std::unique_ptr<ClaimFile>> small;
    for (int i = 0; i < 120; ++i) {
        small.push_back(std::make_unique<ClaimFile>("s" + std::to_string(i)));
        rivals.AddSectors(rivals.Add(small.back().get(), Deleted(kDay + u64(i), kDay + u64(i))), 1000 + u64(i) * 8, 8);
    }
    ClaimFile big("big");
    rivals.AddSectors(rivals.Add(&big, Deleted(3 * kDay, 3 * kDay)), 1000, 120 * 8);
    EXPECT_EQ(rivals.Weigh("test").size(), 120u);
    EXPECT_FALSE(Taken(big));
    for (const auto& f : small) EXPECT_TRUE(Taken(*f)) << f->GetName();
}

TEST(ClusterClaims, RunsAreClaimedInSectorsOfTheirOwnVolume) {
    // A file of an older volume at sector 2048 with 8-sector clusters: its 5,000 bytes take ten
    // sectors from cluster 10 on, not the whole second cluster; the hole takes none.
    CClusterClaims claims;
    ClaimFile f("f");
    CNoneResidentNTFSDataRunList runs;
    runs.AppendExtent(10, 1);
    runs.AddExtent({kSparseExtentStart, 1});
    runs.AppendExtent(20, 1);
    const auto id = claims.Add(&f, Deleted(1, 1));
    claims.AddRuns(id, runs, 4096 + 4096 + 904, 2048, 8, 512);
    EXPECT_TRUE(claims.AnyClaimOn(2048 + 80, 1, 0));
    EXPECT_TRUE(claims.AnyClaimOn(2048 + 160, 2, 0));
    EXPECT_FALSE(claims.AnyClaimOn(2048 + 162, 6, 0));
    EXPECT_FALSE(claims.AnyClaimOn(2048 + 88, 8, 0));
}

}  // namespace
