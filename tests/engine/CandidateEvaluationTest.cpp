// Scoring and choice of partition candidates.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "engine/CandidateEvaluation.h"
#include "engine/SearchedPartitionInfo.h"

namespace {

constexpr u64 kDevice = 1000000;

class EvaluationTest : public ::testing::Test {
protected:
    CSearchedPartitionInfo* Add(u64 start, u64 sectors, u64 bootScore, u64 evidence = 0, u64 rawMatches = 0) {
        auto c = std::make_unique<CSearchedPartitionInfo>(512);
        c->SetFoundStart(start);
        c->SetTotalSectors(sectors);
        c->SetBootScore(bootScore);
        c->SetEvidenceCount(evidence);
        c->SetRawTypeMatches(rawMatches);
        owned.push_back(std::move(c));
        eval.Add(owned.back().get());
        return owned.back().get();
    }
    std::vector<CSearchedPartitionInfo*> Chosen() {
        std::vector<CSearchedPartitionInfo*> out;
        eval.GetChosen(&out);
        return out;
    }

    CEvaluation eval;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> owned;
};

TEST_F(EvaluationTest, SingleCandidateWithStartingBootScoreIsChosen) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* c = Add(2048, 4096, 1);
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{c});
    EXPECT_DOUBLE_EQ(c->GetScore(), 1.0);
    EXPECT_EQ(c->GetChosenFlag(), 1u);
}

TEST_F(EvaluationTest, ScoresCombineEvidenceMatchesAndBootScore) {
    eval.Init(kDevice, 4);
    CSearchedPartitionInfo* best = Add(0, 100, 20, 10, 480);   // 10*50 + 480 + 20 = 1000
    CSearchedPartitionInfo* other = Add(200, 100, 10, 0, 0);   // 10
    CSearchedPartitionInfo* none = Add(400, 100, 0, 0, 0);     // 0
    Chosen();
    EXPECT_DOUBLE_EQ(best->GetScore(), 1.0);
    EXPECT_NEAR(other->GetScore(), std::log(10.0) / std::log(1000.0), 1e-12);
    EXPECT_DOUBLE_EQ(none->GetScore(), 0.0);
    EXPECT_EQ(none->GetChosenFlag(), 0u);
}

TEST_F(EvaluationTest, AllZeroScoresFallBackToFirstAdded) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* a = Add(0, 100, 0);
    CSearchedPartitionInfo* b = Add(500, 100, 0);
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{a});
    EXPECT_EQ(b->GetChosenFlag(), 0u);
}

TEST_F(EvaluationTest, DisjointCandidatesAreBothChosenButHandedOutByLimit) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* low = Add(500000, 1000, 100);   // ln100 / ln10000 = 0.5
    CSearchedPartitionInfo* high = Add(0, 1000, 10000);
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{high});
    EXPECT_EQ(low->GetChosenFlag(), 1u);
    EXPECT_NEAR(low->GetScore(), 0.5, 1e-12);
    // Later calls only read the flags and hand out the same answer.
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{high});
}

TEST_F(EvaluationTest, LostDataReasonRaisesTheLimitToFour) {
    eval.Init(kDevice, 2);
    CSearchedPartitionInfo* a = Add(0, 1000, 10000);
    CSearchedPartitionInfo* b = Add(2000, 1000, 9000);
    CSearchedPartitionInfo* c = Add(4000, 1000, 8000);
    CSearchedPartitionInfo* d = Add(6000, 1000, 7000);
    Add(8000, 1000, 6000);
    EXPECT_EQ(Chosen(), (std::vector<CSearchedPartitionInfo*>{a, b, c, d}));
}

TEST_F(EvaluationTest, CloseOverlappingRunnerUpIsChosenTooFarOneIsNot) {
    {
        eval.Init(kDevice, 0);
        CSearchedPartitionInfo* best = Add(0, 1000, 10000);
        CSearchedPartitionInfo* close = Add(500, 1000, 6310);  // ln6310/ln10000 ~ 0.95
        Chosen();
        EXPECT_EQ(best->GetChosenFlag(), 1u);
        EXPECT_EQ(close->GetChosenFlag(), 1u);
    }
    CEvaluation other;
    other.Init(kDevice, 0);
    CSearchedPartitionInfo best2(512), far2(512);
    best2.SetTotalSectors(1000);
    best2.SetBootScore(10000);
    far2.SetFoundStart(500);
    far2.SetTotalSectors(1000);
    far2.SetBootScore(2512);  // ~ 0.85
    other.Add(&best2);
    other.Add(&far2);
    std::vector<CSearchedPartitionInfo*> out;
    other.GetChosen(&out);
    EXPECT_EQ(best2.GetChosenFlag(), 1u);
    EXPECT_EQ(far2.GetChosenFlag(), 0u);
}

TEST_F(EvaluationTest, RangesPastTheDeviceEndAreNeverChosenGreedily) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* past = Add(kDevice - 10, 11, 10000);
    // Start + length wraps around 2^64: must not look as if it fitted.
    CSearchedPartitionInfo* wraps = Add(100, ~0ull - 50, 100);
    CSearchedPartitionInfo* fits = Add(0, 50, 10);
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{fits});
    EXPECT_EQ(past->GetChosenFlag(), 0u);
    EXPECT_EQ(wraps->GetChosenFlag(), 0u);
}

TEST_F(EvaluationTest, WholeDeviceCandidateMovesToSecondPlaceAndIsHandedOut) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* a = Add(0, 1000, 10000);
    CSearchedPartitionInfo* b = Add(2000, 1000, 5000);
    CSearchedPartitionInfo* whole = Add(0, kDevice - 32768, 100);  // within 16 MiB of the device
    Chosen();
    ASSERT_EQ(eval.GetCandidates().size(), 3u);
    EXPECT_EQ(eval.GetCandidates()[1], whole);
    EXPECT_EQ(eval.GetCandidates()[2], b);
    EXPECT_DOUBLE_EQ(whole->GetScore(), b->GetScore());
    EXPECT_EQ(whole->GetWholeDeviceFlag(), 1u);
    EXPECT_EQ(Chosen(), (std::vector<CSearchedPartitionInfo*>{a, whole}));
}

TEST_F(EvaluationTest, WholeDeviceCandidateInFirstPlaceChangesNothing) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* whole = Add(0, kDevice, 10000);
    Add(0, kDevice - 40000, 100);  // just outside the slack
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{whole});
    EXPECT_EQ(whole->GetWholeDeviceFlag(), 0u);
}

TEST_F(EvaluationTest, EqualScoresKeepTheOrderOfAdding) {
    eval.Init(kDevice, 0);
    CSearchedPartitionInfo* first = Add(0, 1000, 500);
    CSearchedPartitionInfo* second = Add(10, 1000, 500);
    EXPECT_EQ(Chosen(), std::vector<CSearchedPartitionInfo*>{first});
    EXPECT_EQ(eval.GetCandidates()[0], first);
    // The runner-up rule picks the overlapping twin as well.
    EXPECT_EQ(second->GetChosenFlag(), 1u);
}

}  // namespace
