#pragma once
// Decides which of the partition candidates a complete scan found are shown. Each candidate gets
// a score between 0 and 1 from the evidence its search stored in it; the best candidates whose
// sector ranges do not overlap are chosen greedily, a close runner-up and a candidate that spans
// the whole device are added, and at most one, two or four candidates are handed out.
#include <vector>

#include "platform/Types.h"

class CSearchedPartitionInfo;

class CEvaluation {
public:
    CEvaluation() = default;
    virtual ~CEvaluation() = default;
    CEvaluation(const CEvaluation&) = delete;
    CEvaluation& operator=(const CEvaluation&) = delete;

    // The device's total sectors and the scan's lost-data reason (nonzero raises the hand-out
    // limit to 4).
    void Init(u64 deviceSectors, u32 reason);
    // Candidates are not owned; the searches that made them free them. Returns 1.
    u32 Add(CSearchedPartitionInfo* candidate);
    // Evaluates once, then appends the chosen candidates in score order until `out` holds the
    // hand-out limit.
    void GetChosen(std::vector<CSearchedPartitionInfo*>* out);

    // The candidates in their current order (score order once evaluated).
    const std::vector<CSearchedPartitionInfo*>& GetCandidates() const { return m_candidates; }
    bool IsEvaluated() const { return m_evaluated != 0; }

    // Two candidates whose sizes differ from the device by at most this many sectors (16 MiB of
    // 512-byte sectors) count as spanning the whole device.
    static constexpr u64 kWholeDeviceSlackSectors = 32768;
    // A runner-up this close to the best score is chosen as well.
    static constexpr double kRunnerUpMargin = 0.1;

private:
    void Evaluate();
    void ScoreCandidates();
    u32 ChooseDisjoint();
    void PromoteWholeDeviceCandidate();
    size_t HandOutLimit() const;

    std::vector<CSearchedPartitionInfo*> m_candidates;
    u64 m_deviceSectors = 0;
    u32 m_evaluated = 0;
    u32 m_reason = 0;
};
