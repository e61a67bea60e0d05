#pragma once
// What a look at a paused scan gets of a deep search's candidates. The scan thread adds
// candidates and changes them while a preview of the paused scan, or the thumbnail worker, looks
// from a thread of its own: a pause is noticed between steps of the scan thread, which may still
// be in one. Until the search ends, a look gets copies made under the lock, made anew only when
// what they are made from has changed; every copy handed out stays alive until the next search
// begins, for a caller may still hold it. Once the search has ended, a look gets the candidates
// themselves.
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/SearchedPartitionInfo.h"
#include "platform/Types.h"

template <class Candidate>
class CCandidateLooks {
public:
    using Lock = std::unique_lock<std::recursive_mutex>;
    using Copies = std::vector<std::unique_ptr<Candidate>>;

    // Held by the scan thread while it changes what the copies are made from, and by every look.
    [[nodiscard]] Lock Hold() const { return Lock(m_lock); }

    // A new search: the copies of the last one go, and looks get copies again.
    void Begin() {
        const Lock lock = Hold();
        m_copies.clear();
        m_oldCopies.clear();
        m_made = false;
        m_ended = false;
    }

    // The search has ended: from now on looks get the candidates themselves. Taken under the
    // lock, so that a look in progress finishes with the copies first.
    void End() {
        const Lock lock = Hold();
        m_ended = true;
    }

    // Also read without the lock, by a look that places a found file.
    bool Ended() const { return m_ended; }

    // For a look while the search runs: appends the copies `make` gives (a Copies), made anew
    // only when `version` differs from the one the last copies were made at. Answers false and
    // appends nothing once the search has ended; the caller then hands out its candidates.
    template <class Make>
    bool HandOutCopies(std::vector<CSearchedPartitionInfo*>& out, u64 version, Make&& make) {
        const Lock lock = Hold();
        if (m_ended) return false;
        if (!m_made || version != m_version) {
            for (auto& c : m_copies) m_oldCopies.push_back(std::move(c));
            m_copies = std::forward<Make>(make)();
            m_version = version;
            m_made = true;
        }
        for (const auto& c : m_copies) out.push_back(c.get());
        return true;
    }

private:
    mutable std::recursive_mutex m_lock;
    std::atomic<bool> m_ended{false};
    bool m_made = false;
    u64 m_version = 0;
    Copies m_copies;
    Copies m_oldCopies;
};
