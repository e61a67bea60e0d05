#include "fs/fat/FatRevise.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <map>
#include <vector>

#include "engine/FileNode.h"
#include "engine/RawFileInfo.h"
#include "engine/RawFileTypes.h"
#include "platform/Text.h"
#include "raw/AnalyserRegistry.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatFileProperties.h"

namespace {
constexpr u64 kMaxReferenceSizeTenth = 0x19000001;
constexpr u64 kFileTimeTicksPerSecond = 10000000;
constexpr u32 kSignatureSet = 0;
constexpr size_t kShortExtensionLength = 3;

// Extensions whose files begin with the header of one type: the first of each row names the
// family. Every other extension is a family of its own.
const std::initializer_list<std::initializer_list<const char*>> kHeaderFamilies = {
    {"jpg", "jpeg", "jpe", "jfif"},
    {"tif", "tiff", "nef", "nrw", "cr2", "sr2", "arw", "dng", "orf", "pef", "3fr", "erf", "mef", "dcr", "kdc", "srw",
     "ptx", "mdc"},
    {"zip", "docx", "xlsx", "pptx", "epub", "pages", "key", "numbers", "jar", "apk", "odt", "ods", "odp", "xps"},
    {"ole", "doc", "xls", "ppt", "msg", "pub", "vsd", "mpp", "shw", "qpw", "wps", "dot", "xlt", "pot"},
    {"mp4", "m4a", "m4v", "mov", "3gp", "3g2", "qt"},
    {"riff", "avi", "wav", "ani", "webp"},
    {"asf", "wma", "wmv"},
    {"htm", "html"},
    {"mpg", "mpeg", "vob"},
    {"aiff", "aif"},
    {"rm", "rmvb"},
    {"mkv", "webm"},
};

// The family of an extension (lower case, without its dot).
std::string HeaderFamily(std::string extension) {
    static const std::map<std::string, std::string> families = [] {
        std::map<std::string, std::string> m;
        for (const auto& row : kHeaderFamilies) {
            for (const char* member : row) m.emplace(member, *row.begin());
        }
        return m;
    }();
    const auto it = families.find(extension);
    return it != families.end() ? it->second : extension;
}

// The families a file name's extension calls for; none without an extension. A short name cuts a
// longer extension to its first three letters (".docx" is ".DOC" there, ".jpeg" ".JPE"): a
// three-letter extension also calls for the families of the longer ones it begins.
std::vector<std::string> FamiliesOfName(const char* name) {
    if (name == nullptr) return {};
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr || dot == name || dot[1] == 0) return {};
    const std::string extension = AsciiLower(dot + 1);
    std::vector<std::string> families{HeaderFamily(extension)};
    if (extension.size() != kShortExtensionLength) return families;
    const auto addLonger = [&](std::string longer) {
        longer = AsciiLower(longer);
        if (longer.size() <= extension.size() || longer.compare(0, extension.size(), extension) != 0) return;
        const std::string family = HeaderFamily(longer);
        if (std::find(families.begin(), families.end(), family) == families.end()) families.push_back(family);
    };
    for (const auto& row : kHeaderFamilies) {
        for (const char* member : row) addLonger(member);
    }
    for (u32 type = 0; type < kRawFileTypeCount; ++type) addLonger(RawFileTypeExtension(type));
    return families;
}

std::string FamilyOfType(u32 type) { return HeaderFamily(AsciiLower(RawFileTypeExtension(type))); }

}  // namespace

CFatHeaderExpectation::CFatHeaderExpectation(const CRawFileAnalyserRegistry* registry) : m_registry(registry) {
    if (registry == nullptr) return;
    for (const IRawFileAnalyser* analyser : registry->GetAnalyserList()) {
        if (analyser == nullptr || analyser->GetAnalyserTypeId() >= kRawFileTypeCount) continue;
        const std::string family = FamilyOfType(analyser->GetAnalyserTypeId());
        if (!family.empty() && family != "raw") m_families.insert(family);
    }
}

std::vector<std::string> CFatHeaderExpectation::CalledFor(const char* name) const {
    // A folder of many files has few extensions: each is looked up once.
    const char* dot = name != nullptr ? std::strrchr(name, '.') : nullptr;
    const std::string extension = dot != nullptr && dot != name ? AsciiLower(dot + 1) : std::string();
    const auto known = m_calledFor.find(extension);
    if (known != m_calledFor.end()) return known->second;
    std::vector<std::string> families = FamiliesOfName(name);
    std::erase_if(families, [this](const std::string& family) { return m_families.count(family) == 0; });
    m_calledFor.emplace(extension, families);
    return families;
}

bool CFatHeaderExpectation::Holds(const std::vector<std::string>& families, const u8* bytes, u32 held) const {
    if (m_registry == nullptr || bytes == nullptr || held < kFatMinHeaderBytes || families.empty()) return false;
    // Every analyser the carving search would ask about these bytes, as it asks them.
    std::vector<IRawFileAnalyser*> asked;
    if (IRawFileAnalyser* a = m_registry->FindSignature4(CRawFileAnalyserRegistry::Signature4Key(bytes))) {
        asked.push_back(a);
    }
    const auto range = m_registry->FindSignature2(CRawFileAnalyserRegistry::Signature2Key(bytes));
    for (auto it = range.first; it != range.second; ++it) asked.push_back(it->second);
    const auto& offsetList = m_registry->GetOffsetAnalyserList(kSignatureSet);
    const auto& probes = m_registry->GetOffsetProbes(kSignatureSet);
    for (size_t k = 0; k < offsetList.size() && k < probes.size(); ++k) {
        if (probes[k].Matches(bytes)) asked.push_back(offsetList[k]);
    }
    for (IRawFileAnalyser* analyser : asked) {
        if (analyser == nullptr) continue;
        CRawFileInfo record;
        u32 accepted = 0;
        try {
            accepted = analyser->CheckFileHeader(bytes, held, record);
        } catch (...) {
            accepted = 0;  // an analyser that throws has not recognised the bytes
        }
        if (accepted == 0) continue;
        const u32 type = record.fileType != 0 ? record.fileType : analyser->GetAnalyserTypeId();
        const std::string found = FamilyOfType(type);
        if (std::find(families.begin(), families.end(), found) != families.end()) return true;
    }
    return false;
}

CFatReviseReferences::CFatReviseReferences(const std::vector<CFileNode*>& references, u64 folderCluster,
                                           const std::unordered_set<const CFileNode*>* unmarked)
    : m_folderCluster(folderCluster) {
    for (CFileNode* node : references) {
        if (node == nullptr) continue;
        auto* p = dynamic_cast<CFATFileProperties*>(node->GetFileProperties());
        // Folders hold no data of the files written around them, and a file of no bytes no cluster.
        if (p == nullptr || p->GetSize() == 0 || p->GetSize() / 10 >= kMaxReferenceSizeTenth ||
            (p->GetAttributes() & kAttrDirectory) != 0 || p->GetFirstCluster() < kFatFirstDataCluster) {
            continue;
        }
        FILETIME64 created = 0;
        p->GetCreationTime(created);
        const bool deleted = (p->GetState() & 1) != 0;
        m_index.emplace(node, m_listed.size());
        const bool neverDeleted = unmarked != nullptr && unmarked->count(node) != 0;
        m_listed.push_back({created / kFileTimeTicksPerSecond, p->GetFirstCluster(), p->GetSize(), node,
                            !deleted || neverDeleted || FatNamesHighWord(p->GetFirstCluster())});
    }
    // By creation, then as listed: a folder of many files is judged without a walk of all for each.
    m_byTime.resize(m_listed.size());
    for (size_t k = 0; k < m_byTime.size(); ++k) m_byTime[k] = k;
    std::stable_sort(m_byTime.begin(), m_byTime.end(),
                     [this](size_t a, size_t b) { return m_listed[a].seconds < m_listed[b].seconds; });
}

void CFatReviseReferences::Resolve(const CFileNode* node, u64 cluster) {
    const auto it = m_index.find(node);
    if (it == m_index.end()) return;
    m_listed[it->second].cluster = cluster;
    m_listed[it->second].whole = true;
}

std::pair<u64, u64> CFatReviseReferences::Window(const CFileNode* self, u64 seconds, u64 clusterBytes) const {
    const auto lastCluster = [clusterBytes](const Reference& r) {
        return r.cluster + (r.size > clusterBytes ? (r.size - 1) / clusterBytes : 0);
    };
    // In the folder's listing: the nearest entries before and after it whose clusters are known.
    // Where those do not lie around each other, one of them took a free slot later: one whose
    // creation time says it was written after the file (before it, for one listed after) is
    // passed over.
    const auto createdAfter = [seconds](const Reference& r) { return seconds != 0 && r.seconds > seconds; };
    const auto createdBefore = [seconds](const Reference& r) { return r.seconds != 0 && r.seconds < seconds; };
    const auto it = self != nullptr ? m_index.find(self) : m_index.end();
    const auto listed = [&](bool byTime) {
        std::pair<u64, u64> bounds{0, 0};
        if (it == m_index.end()) return bounds;
        for (size_t k = it->second; k-- > 0;) {
            if (m_listed[k].whole && !(byTime && createdAfter(m_listed[k]))) {
                bounds.first = lastCluster(m_listed[k]);
                break;
            }
        }
        for (size_t k = it->second + 1; k < m_listed.size(); ++k) {
            if (m_listed[k].whole && !(byTime && createdBefore(m_listed[k]))) {
                bounds.second = m_listed[k].cluster;
                break;
            }
        }
        return bounds;
    };
    const auto apart = [](const std::pair<u64, u64>& b) { return b.second != 0 && b.first >= b.second; };
    std::pair<u64, u64> bounds = listed(false);
    if (apart(bounds)) bounds = listed(true);
    // Still not around each other: the listing tells nothing.
    if (apart(bounds)) bounds = {0, 0};
    u64 lo = bounds.first;
    const u64 hi = bounds.second;
    if (lo == 0 && m_folderCluster >= kFatFirstDataCluster && (hi == 0 || m_folderCluster < hi)) lo = m_folderCluster;
    // In creation time: the latest file created before it, the earliest created after it (files
    // of one second tell no order).
    const Reference* before = nullptr;
    const Reference* after = nullptr;
    if (seconds != 0) {
        const auto secondsOf = [this](size_t k) { return m_listed[k].seconds; };
        const auto from = std::lower_bound(m_byTime.begin(), m_byTime.end(), seconds,
                                           [&](size_t k, u64 s) { return secondsOf(k) < s; });
        for (auto k = from; k != m_byTime.begin() && before == nullptr;) {
            const Reference& r = m_listed[*--k];
            if (r.whole && r.seconds != 0) before = &r;
        }
        const auto later = [&](u64 s, size_t i) { return s < secondsOf(i); };
        for (auto k = std::upper_bound(from, m_byTime.end(), seconds, later); k != m_byTime.end() && after == nullptr;
             ++k) {
            if (m_listed[*k].whole) after = &m_listed[*k];
        }
    }
    u64 timedLo = std::max(lo, before != nullptr ? lastCluster(*before) : 0);
    u64 timedHi = hi;
    if (after != nullptr && (timedHi == 0 || after->cluster < timedHi)) timedHi = after->cluster;
    // Where the two orders disagree, the listing alone tells.
    if (timedHi != 0 && timedLo >= timedHi) return {lo, hi};
    return {timedLo, timedHi};
}

FatFirstClusterCandidates CFatReviseReferences::Candidates(const CFileNode* self, u64 size, u64 recordedCluster,
                                                           FILETIME64 creationTime, u64 clusterBytes,
                                                           u64 highestCluster) const {
    (void)size;
    if (FatNamesHighWord(recordedCluster) || clusterBytes == 0) {
        FatFirstClusterCandidates only;
        only.clusters = {recordedCluster};
        return only;
    }
    const u64 low = recordedCluster & kFatLowWordMask;
    const u64 first = low >= kFatFirstDataCluster ? low : low + kFatHighWordStep;
    FatFirstClusterCandidates out;
    if (first > highestCluster) return out;
    const auto [lo, hi] = Window(self, creationTime / kFileTimeTicksPerSecond, clusterBytes);
    const bool windowed = lo != 0 || hi != 0;
    // The first cluster of the low word at or after `from`.
    const auto atOrAfter = [&](u64 from) {
        if (from <= first) return first;
        return first + (from - first + kFatHighWordStep - 1) / kFatHighWordStep * kFatHighWordStep;
    };
    std::vector<u64>& clusters = out.clusters;
    const auto add = [&](u64 cluster) {
        if (clusters.size() == kFatMaxFirstClusterCandidates) {
            out.all = false;
            return false;
        }
        clusters.push_back(cluster);
        return true;
    };
    // The clusters in the window, the nearest to its closed side first.
    if (lo != 0) {
        for (u64 c = atOrAfter(lo + 1); c <= highestCluster && (hi == 0 || c < hi) && add(c);) c += kFatHighWordStep;
    } else if (hi != 0 && hi > first) {
        const u64 top = std::min(hi - 1, highestCluster);
        for (u64 c = first + (top - first) / kFatHighWordStep * kFatHighWordStep; add(c);) {
            if (c < first + kFatHighWordStep) break;
            c -= kFatHighWordStep;
        }
    }
    out.inWindow = clusters.size();
    out.closed = lo != 0 && hi != 0;
    out.placed = out.closed ? clusters.size() == 1 && out.all : !clusters.empty();
    out.byFolderAlone = hi == 0 && lo == m_folderCluster;
    // Without anything around it that tells, the recorded cluster is the likeliest: the high word
    // may never have been other than 0.
    const auto inside = [&](u64 c) { return windowed && (lo == 0 || c > lo) && (hi == 0 || c < hi); };
    const bool recordedAdded = recordedCluster >= kFatFirstDataCluster && recordedCluster <= highestCluster &&
                               !inside(recordedCluster) && add(recordedCluster);
    // Then those outside it, lowest first.
    const auto addRange = [&](u64 from, u64 to) {
        for (u64 c = atOrAfter(from); c <= to && c <= highestCluster; c += kFatHighWordStep) {
            if (recordedAdded && c == recordedCluster) continue;
            if (!add(c)) return;
        }
    };
    if (!windowed) {
        addRange(first, highestCluster);
    } else {
        if (lo != 0) addRange(first, lo);
        if (hi != 0) addRange(hi, highestCluster);
    }
    return out;
}

FatFirstClusterEstimate EstimateDeletedFirstCluster(const CFatReviseReferences& references, const CFileNode* self,
                                                    u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                                    u64 clusterBytes, u64 highestCluster,
                                                    const FatCandidateLook& look) {
    const FatFirstClusterCandidates candidates =
        references.Candidates(self, size, recordedCluster, creationTime, clusterBytes, highestCluster);
    const std::vector<u64>& clusters = candidates.clusters;
    if (clusters.empty()) return {recordedCluster, false, FatFirstClusterEvidence::kNone};
    // One cluster of its low word on the whole volume: nothing to choose from.
    if (clusters.size() == 1 && candidates.all) return {clusters.front(), true, FatFirstClusterEvidence::kOnly};
    const auto taken = [&look](u64 cluster) { return look.taken && look.taken(cluster); };
    const auto claimed = [&look](u64 cluster) { return look.claimed && look.claimed(cluster); };
    const auto written = [&look](u64 cluster) { return !(look.blank && look.blank(cluster)); };
    const bool recordedTaken = recordedCluster >= kFatFirstDataCluster && taken(recordedCluster);
    using Evidence = FatFirstClusterEvidence;
    const Evidence placedBy = candidates.closed ? Evidence::kBetween : Evidence::kBeside;
    const u64 placed = candidates.placed ? clusters.front() : 0;
    if (placed != 0) {
        // Next to the files written around it and written over since: it lay there all the same,
        // and the claim weighing counts it. Where its recorded cluster is held as well, the file
        // stays where its entry says. Its folder's cluster alone places it too loosely for that.
        if (!candidates.byFolderAlone && taken(placed)) {
            return {recordedTaken ? recordedCluster : placed, true, placedBy};
        }
        if (!taken(placed) && !claimed(placed) && (look.holdsHeader ? look.holdsHeader(placed) : written(placed))) {
            return {placed, true, placedBy};
        }
    }
    if (look.willLook) look.willLook(clusters);
    const auto free = [&](u64 cluster) { return !taken(cluster) && !claimed(cluster); };
    // Its type's header tells only where it begins one of them: a file whose first bytes are not
    // what its name says is judged by its written bytes.
    const bool headerSeen = look.holdsHeader && std::any_of(clusters.begin(), clusters.end(), [&](u64 cluster) {
                                return free(cluster) && look.holdsHeader(cluster);
                            });
    const auto holdsItsStart = [&](u64 cluster) { return headerSeen ? look.holdsHeader(cluster) : written(cluster); };
    if (placed != 0 && !headerSeen && free(placed) && written(placed)) return {placed, true, placedBy};
    // Those that may hold its bytes: between the files around it first, where one alone does.
    const auto mayHold = [&](u64 cluster) { return free(cluster) && holdsItsStart(cluster); };
    const u64* only = nullptr;
    size_t left = 0;
    const size_t between = candidates.closed ? candidates.inWindow : 0;
    for (size_t i = 0; i < between && left < 2; ++i) {
        if (!mayHold(clusters[i])) continue;
        if (left++ == 0) only = &clusters[i];
    }
    if (left == 1) return {*only, true, Evidence::kBetween};
    only = nullptr;
    left = 0;
    for (size_t i = 0; i < clusters.size() && left < 2; ++i) {
        if (!mayHold(clusters[i])) continue;
        if (left++ == 0) only = &clusters[i];
    }
    if (left == 1 && candidates.all) return {*only, true, headerSeen ? Evidence::kHeader : Evidence::kWritten};
    // A recorded cluster a chain holds, where no other may hold its bytes, is where it began:
    // another file holds them now, which the claim weighing says.
    if (recordedTaken && left == 0) return {recordedCluster, true, Evidence::kRecorded};
    // The likeliest: between the files around it, else one that may hold its bytes.
    if (candidates.inWindow != 0) return {clusters.front(), false, FatFirstClusterEvidence::kNone};
    if (only != nullptr) return {*only, false, FatFirstClusterEvidence::kNone};
    if (recordedCluster >= kFatFirstDataCluster) return {recordedCluster, false, FatFirstClusterEvidence::kNone};
    return {clusters.front(), false, FatFirstClusterEvidence::kNone};
}

std::vector<IRawFileAnalyser*> GetFatReviseAnalysers() {
    const auto& list = CRawFileAnalyserRegistry::Instance().GetOffsetAnalyserList(0);
    return std::vector<IRawFileAnalyser*>(list.begin(), list.end());
}
