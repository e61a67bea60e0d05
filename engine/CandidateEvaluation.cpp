#include "engine/CandidateEvaluation.h"

#include <algorithm>
#include <cmath>

#include "engine/SearchedPartitionInfo.h"

namespace {

struct SectorRange {
    u64 start;
    u64 length;
};

// Sums are taken 128 bits wide: start and length come from disk and may be anything, and a
// wrapped end must not make a huge candidate look as if it fitted.
unsigned __int128 RangeEnd(const SectorRange& r) { return static_cast<unsigned __int128>(r.start) + r.length; }

bool Contains(const SectorRange& outer, const SectorRange& inner) {
    return inner.start >= outer.start && RangeEnd(inner) <= RangeEnd(outer);
}

SectorRange RangeOf(const CSearchedPartitionInfo* c) { return {c->GetFoundStart(), c->GetTotalSectors()}; }

// Index of the free range that holds r, or -1.
int FindHoldingRange(const std::vector<SectorRange>& free, const SectorRange& r) {
    for (size_t i = 0; i < free.size(); ++i) {
        if (Contains(free[i], r)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

void CEvaluation::Init(u64 deviceSectors, u32 reason) {
    m_deviceSectors = deviceSectors;
    m_reason = reason;
}

u32 CEvaluation::Add(CSearchedPartitionInfo* candidate) {
    m_candidates.push_back(candidate);
    return 1;
}

void CEvaluation::GetChosen(std::vector<CSearchedPartitionInfo*>* out) {
    if (!m_evaluated) Evaluate();
    if (!out) return;
    const size_t limit = HandOutLimit();
    for (CSearchedPartitionInfo* c : m_candidates) {
        if (out->size() >= limit) break;
        if (c && c->GetChosenFlag()) out->push_back(c);
    }
}

size_t CEvaluation::HandOutLimit() const {
    if (m_reason != 0) return 4;
    for (size_t i = 1; i < m_candidates.size(); ++i) {
        if (m_candidates[i] && m_candidates[i]->GetWholeDeviceFlag()) return 2;
    }
    return 1;
}

void CEvaluation::Evaluate() {
    // A null entry carries no evidence; it is dropped rather than dereferenced later.
    m_candidates.erase(std::remove(m_candidates.begin(), m_candidates.end(), nullptr), m_candidates.end());

    ScoreCandidates();
    std::stable_sort(m_candidates.begin(), m_candidates.end(),
                     [](const CSearchedPartitionInfo* a, const CSearchedPartitionInfo* b) {
                         return a->GetScore() > b->GetScore();
                     });

    const u32 chosen = ChooseDisjoint();
    if (chosen == 0 && !m_candidates.empty()) m_candidates.front()->SetChosenFlag(1);
    if (chosen == 1 && m_candidates.size() > 1) {
        if (m_candidates[0]->GetScore() - m_candidates[1]->GetScore() <= kRunnerUpMargin) {
            m_candidates[1]->SetChosenFlag(1);
        }
    }
    PromoteWholeDeviceCandidate();
    m_evaluated = 1;
}

void CEvaluation::ScoreCandidates() {
    std::vector<u64> raw(m_candidates.size());
    i64 best = 0;
    for (size_t i = 0; i < m_candidates.size(); ++i) {
        const CSearchedPartitionInfo* c = m_candidates[i];
        raw[i] = c->GetEvidenceCount() * 50 + c->GetRawTypeMatches() + c->GetBootScore();
        if (i == 0 || static_cast<i64>(raw[i]) > best) best = static_cast<i64>(raw[i]);
    }
    const double divisor = best > 1 ? std::log(static_cast<double>(best)) : 1.0;
    for (size_t i = 0; i < m_candidates.size(); ++i) {
        const double v = raw[i] > 1 ? std::log(static_cast<double>(raw[i])) : static_cast<double>(raw[i]);
        m_candidates[i]->SetScore(v / divisor);
    }
}

u32 CEvaluation::ChooseDisjoint() {
    std::vector<CSearchedPartitionInfo*> remaining = m_candidates;
    std::vector<SectorRange> free{{0, m_deviceSectors}};
    u32 chosen = 0;
    while (!remaining.empty()) {
        size_t winner = remaining.size();
        double bestScore = 0.0;
        for (size_t i = 0; i < remaining.size(); ++i) {
            if (FindHoldingRange(free, RangeOf(remaining[i])) < 0) continue;
            if (remaining[i]->GetScore() > bestScore) {
                bestScore = remaining[i]->GetScore();
                winner = i;
            }
        }
        if (winner == remaining.size()) break;

        CSearchedPartitionInfo* w = remaining[winner];
        w->SetChosenFlag(1);
        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(winner));

        const SectorRange wr = RangeOf(w);
        const int holder = FindHoldingRange(free, wr);
        const SectorRange hr = free[static_cast<size_t>(holder)];
        free.erase(free.begin() + holder);
        if (wr.start > hr.start) free.push_back({hr.start, wr.start - hr.start});
        const unsigned __int128 holderEnd = RangeEnd(hr), winnerEnd = RangeEnd(wr);
        if (holderEnd > winnerEnd) {
            free.push_back({static_cast<u64>(winnerEnd), static_cast<u64>(holderEnd - winnerEnd)});
        }

        remaining.erase(std::remove_if(remaining.begin(), remaining.end(),
                                       [&](const CSearchedPartitionInfo* c) {
                                           return FindHoldingRange(free, RangeOf(c)) < 0;
                                       }),
                        remaining.end());
        ++chosen;
    }
    return chosen;
}

void CEvaluation::PromoteWholeDeviceCandidate() {
    for (size_t i = 0; i < m_candidates.size(); ++i) {
        CSearchedPartitionInfo* c = m_candidates[i];
        const u64 total = c->GetTotalSectors();
        const u64 diff = total > m_deviceSectors ? total - m_deviceSectors : m_deviceSectors - total;
        if (diff > kWholeDeviceSlackSectors) continue;
        if (i == 0) return;
        c->SetWholeDeviceFlag(1);
        c->SetChosenFlag(1);
        if (i >= 2) {
            c->SetScore(m_candidates[1]->GetScore());
            m_candidates.erase(m_candidates.begin() + static_cast<std::ptrdiff_t>(i));
            m_candidates.insert(m_candidates.begin() + 1, c);
        }
        return;
    }
}
