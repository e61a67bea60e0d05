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
    std::vector<std::string> families = FamiliesOfName(name);
    std::erase_if(families, [this](const std::string& family) { return m_families.count(family) == 0; });
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

CFatReviseReferences::CFatReviseReferences(const std::vector<CFileNode*>& references, u64 folderCluster)
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
        m_listed.push_back({created / kFileTimeTicksPerSecond, p->GetFirstCluster(), p->GetSize(), node,
                            !deleted || FatNamesHighWord(p->GetFirstCluster())});
    }
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
        for (const Reference& r : m_listed) {
            if (!r.whole || r.node == self || r.seconds == 0) continue;
            if (r.seconds < seconds && (before == nullptr || r.seconds >= before->seconds)) before = &r;
            if (r.seconds > seconds && (after == nullptr || r.seconds < after->seconds)) after = &r;
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
    if (FatNamesHighWord(recordedCluster) || clusterBytes == 0) return {{recordedCluster}, true, 0, false, false};
    const u64 low = recordedCluster & kFatLowWordMask;
    const auto [lo, hi] = Window(self, creationTime / kFileTimeTicksPerSecond, clusterBytes);
    std::vector<u64> inWindow;
    std::vector<u64> rest;
    for (u64 cluster = low; cluster <= highestCluster; cluster += kFatHighWordStep) {
        if (cluster < kFatFirstDataCluster) continue;
        const bool inside = (lo != 0 || hi != 0) && (lo == 0 || cluster > lo) && (hi == 0 || cluster < hi);
        (inside ? inWindow : rest).push_back(cluster);
    }
    FatFirstClusterCandidates out;
    // Open below: the nearest to the file written after it first.
    if (lo == 0) std::reverse(inWindow.begin(), inWindow.end());
    out.closed = lo != 0 && hi != 0;
    out.placed = out.closed ? inWindow.size() == 1 : !inWindow.empty();
    out.inWindow = std::min(inWindow.size(), kFatMaxFirstClusterCandidates);
    out.clusters = std::move(inWindow);
    // Without anything around it that tells, the recorded cluster is the likeliest: the high word
    // may never have been other than 0.
    const auto recorded = std::find(rest.begin(), rest.end(), recordedCluster);
    if (recorded != rest.end()) {
        out.clusters.push_back(recordedCluster);
        rest.erase(recorded);
    }
    out.clusters.insert(out.clusters.end(), rest.begin(), rest.end());
    if (out.clusters.size() > kFatMaxFirstClusterCandidates) {
        out.clusters.resize(kFatMaxFirstClusterCandidates);
        out.all = false;
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
    if (clusters.empty()) return {recordedCluster, false};
    // One cluster of its low word on the whole volume: nothing to choose from.
    if (clusters.size() == 1 && candidates.all) return {clusters.front(), true};
    const auto taken = [&look](u64 cluster) { return look.taken && look.taken(cluster); };
    const auto claimed = [&look](u64 cluster) { return look.claimed && look.claimed(cluster); };
    const auto written = [&look](u64 cluster) { return !(look.blank && look.blank(cluster)); };
    const bool recordedTaken = recordedCluster >= kFatFirstDataCluster && taken(recordedCluster);
    const u64 placed = candidates.placed ? clusters.front() : 0;
    if (placed != 0) {
        // Written over since: it lay there all the same, and the claim weighing counts it. Where
        // its recorded cluster is held as well, the file stays where its entry says.
        if (taken(placed)) return {recordedTaken ? recordedCluster : placed, true};
        if (!claimed(placed) && (look.holdsHeader ? look.holdsHeader(placed) : written(placed))) return {placed, true};
    }
    if (look.willLook) look.willLook(clusters);
    const auto free = [&](u64 cluster) { return !taken(cluster) && !claimed(cluster); };
    // Its type's header tells only where it begins one of them: a file whose first bytes are not
    // what its name says is judged by its written bytes.
    const bool headerSeen = look.holdsHeader && std::any_of(clusters.begin(), clusters.end(), [&](u64 cluster) {
                                return free(cluster) && look.holdsHeader(cluster);
                            });
    const auto holdsItsStart = [&](u64 cluster) { return headerSeen ? look.holdsHeader(cluster) : written(cluster); };
    if (placed != 0 && !headerSeen && !claimed(placed) && written(placed)) return {placed, true};
    // Those that may hold its bytes: between the files around it first, where one alone does.
    const auto mayHold = [&](u64 cluster) { return free(cluster) && holdsItsStart(cluster); };
    const u64* only = nullptr;
    size_t left = 0;
    const size_t between = candidates.closed ? candidates.inWindow : 0;
    for (size_t i = 0; i < between && left < 2; ++i) {
        if (!mayHold(clusters[i])) continue;
        if (left++ == 0) only = &clusters[i];
    }
    if (left == 1) return {*only, true};
    only = nullptr;
    left = 0;
    for (size_t i = 0; i < clusters.size() && left < 2; ++i) {
        if (!mayHold(clusters[i])) continue;
        if (left++ == 0) only = &clusters[i];
    }
    // Written bytes alone do not move a file away from a recorded cluster a chain holds now: those
    // bytes may be any deleted file's. There it began, and another file holds its bytes now,
    // which the claim weighing says.
    if (left == 1 && candidates.all && (headerSeen || !recordedTaken)) return {*only, true};
    if (recordedTaken && (left == 0 || !headerSeen)) return {recordedCluster, true};
    // The likeliest: between the files around it, else one that may hold its bytes.
    if (candidates.inWindow != 0) return {clusters.front(), false};
    if (only != nullptr) return {*only, false};
    if (recordedCluster >= kFatFirstDataCluster) return {recordedCluster, false};
    return {clusters.front(), false};
}

std::vector<IRawFileAnalyser*> GetFatReviseAnalysers() {
    const auto& list = CRawFileAnalyserRegistry::Instance().GetOffsetAnalyserList(0);
    return std::vector<IRawFileAnalyser*>(list.begin(), list.end());
}
