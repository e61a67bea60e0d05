#include "fs/fat/FatRevise.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <map>
#include <vector>

#include "devices/StorageDevice.h"
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

// The first cluster of the low word `low` after cluster `after`, and the last one before `before`
// (0 when there is none).
u64 LowWordAfter(u64 after, u64 low) {
    const u64 inBlock = after / kFatHighWordStep * kFatHighWordStep + low;
    return inBlock > after ? inBlock : inBlock + kFatHighWordStep;
}
u64 LowWordBefore(u64 before, u64 low) {
    const u64 inBlock = before / kFatHighWordStep * kFatHighWordStep + low;
    if (inBlock < before) return inBlock;
    return inBlock >= kFatHighWordStep ? inBlock - kFatHighWordStep : 0;
}
u64 LowWordInBlockOf(u64 cluster, u64 low) { return cluster / kFatHighWordStep * kFatHighWordStep + low; }
}  // namespace

bool IsPEImageHeader(const u8* sector, u32 sectorSize) {
    if (sector == nullptr || sectorSize < 64 || sector[0] != 'M' || sector[1] != 'Z') return false;
    const u64 offset = ReadLE32(sector + 60);
    if (offset + 3 > u64(sectorSize) + 1) return false;
    return sector[offset] == 'P' && sector[offset + 1] == 'E';
}

bool HasKnownFileHeader(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 cluster,
                        const std::vector<IRawFileAnalyser*>& analysers) {
    if (FatNamesHighWord(cluster)) return true;
    if (device == nullptr || cluster < 2) return false;
    const u32 sectorSize = device->GetSectorSize();
    std::vector<u8> sector(sectorSize < 512 ? 512 : sectorSize, 0);
    if (!device->Read(sector.data(), dataStart + (cluster - 2) * sectorsPerCluster, 1)) return false;
    for (IRawFileAnalyser* analyser : analysers) {
        if (analyser == nullptr) continue;
        CRawFileInfo record;
        if (analyser->CheckFileHeader(sector.data(), u32(sector.size()), record) != 0) return true;
    }
    return IsPEImageHeader(sector.data(), sectorSize);
}

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

CFatReviseReferences::CFatReviseReferences(const std::vector<CFileNode*>& references) {
    for (CFileNode* node : references) {
        if (node == nullptr) continue;
        auto* p = dynamic_cast<CFATFileProperties*>(node->GetFileProperties());
        if (p == nullptr || p->GetSize() / 10 >= kMaxReferenceSizeTenth) continue;
        FILETIME64 created = 0;
        p->GetCreationTime(created);
        const Reference r{created / kFileTimeTicksPerSecond, p->GetFirstCluster(), p->GetSize(), node};
        if ((p->GetState() & 1) != 0) {
            m_deleted.push_back(r);
            continue;
        }
        if (m_live.empty() || r.cluster > m_highestLive.cluster) m_highestLive = r;
        m_live.push_back(r);
    }
    // Sorted once, so that every deleted file of a large folder is judged without a walk of all.
    const auto byTime = [](const Reference& a, const Reference& b) { return a.seconds < b.seconds; };
    std::stable_sort(m_deleted.begin(), m_deleted.end(), byTime);
    std::stable_sort(m_live.begin(), m_live.end(), byTime);
}

const CFatReviseReferences::Reference* CFatReviseReferences::LatestUpTo(const std::vector<Reference>& sorted,
                                                                        u64 seconds, const CFileNode* self) {
    auto it = std::upper_bound(sorted.begin(), sorted.end(), seconds,
                               [](u64 s, const Reference& r) { return s < r.seconds; });
    // Each step back passes over one whole second of creations; only `self` can make it take
    // more than one.
    while (it != sorted.begin()) {
        const u64 latest = std::prev(it)->seconds;
        const auto first =
            std::lower_bound(sorted.begin(), it, latest, [](const Reference& r, u64 s) { return r.seconds < s; });
        for (auto r = first; r != it; ++r) {
            if (self == nullptr || r->node != self) return &*r;
        }
        it = first;
    }
    return nullptr;
}

const CFatReviseReferences::Reference* CFatReviseReferences::EarliestAfter(const std::vector<Reference>& sorted,
                                                                           u64 seconds) {
    auto it = std::upper_bound(sorted.begin(), sorted.end(), seconds,
                               [](u64 s, const Reference& r) { return s < r.seconds; });
    return it != sorted.end() ? &*it : nullptr;
}

FatFirstClusterCandidates CFatReviseReferences::Candidates(const CFileNode* self, u64 size, u64 recordedCluster,
                                                           FILETIME64 creationTime, u64 clusterBytes,
                                                           u64 highestCluster) const {
    if (FatNamesHighWord(recordedCluster) || clusterBytes == 0) return {{recordedCluster}, true};
    const u64 low = recordedCluster & kFatLowWordMask;
    const u64 seconds = creationTime / kFileTimeTicksPerSecond;
    const auto lastCluster = [clusterBytes](const Reference& r) {
        return r.cluster + (r.size > clusterBytes ? (r.size - 1) / clusterBytes : 0);
    };
    FatFirstClusterCandidates out;
    std::vector<u64>& candidates = out.clusters;
    const auto add = [&](u64 cluster) {
        if (cluster < kFatFirstDataCluster || cluster > highestCluster ||
            std::find(candidates.begin(), candidates.end(), cluster) != candidates.end()) {
            return;
        }
        if (candidates.size() < kFatMaxFirstClusterCandidates) {
            candidates.push_back(cluster);
        } else {
            out.all = false;
        }
    };

    // The file is one of the deleted references itself, and its own recorded cluster lost the
    // very high word looked for.
    const Reference* deleted = size != 0 ? LatestUpTo(m_deleted, seconds, self) : nullptr;
    if (deleted != nullptr && FatNamesHighWord(deleted->cluster)) {
        add(LowWordInBlockOf(deleted->cluster + deleted->size / clusterBytes, low));
    }
    // The live neighbours in creation time: the file was most likely written after the earlier
    // one's data and before the later one. Where these lie less than a block apart, one cluster of
    // the low word at most lies between them, on either side of a block's boundary.
    const Reference* before = LatestUpTo(m_live, seconds);
    const Reference* after = EarliestAfter(m_live, seconds);
    if (candidates.empty() && before != nullptr && after != nullptr && after->cluster > lastCluster(*before) &&
        after->cluster - lastCluster(*before) < kFatHighWordStep) {
        const u64 between = LowWordAfter(lastCluster(*before), low);
        if (between < after->cluster) add(between);
    }
    if (candidates.empty() && !m_live.empty()) {
        const u64 limit = m_highestLive.cluster + (m_highestLive.size + clusterBytes - 1) / clusterBytes;
        for (const Reference* neighbour : {before, after}) {
            if (neighbour == nullptr) continue;
            const u64 candidate = LowWordInBlockOf(neighbour->cluster, low);
            if (candidate <= limit) {
                add(candidate);
                break;
            }
        }
    }
    // Without a neighbour that tells, the recorded cluster is the likeliest; else it comes next:
    // the entry names it, as the high word may never have been other than 0.
    add(recordedCluster);
    // Where neither holds what the file's name calls for, the clusters of the low word next to
    // each neighbour.
    if (deleted != nullptr) {
        add(LowWordInBlockOf(lastCluster(*deleted), low));
        add(LowWordAfter(lastCluster(*deleted), low));
    }
    if (before != nullptr) {
        add(LowWordAfter(lastCluster(*before), low));
        add(LowWordInBlockOf(before->cluster, low));
    }
    if (after != nullptr) {
        add(LowWordBefore(after->cluster, low));
        add(LowWordInBlockOf(after->cluster, low));
    }
    // Then every other block of the volume: the file may lie in any of them.
    for (u64 cluster = low; cluster <= highestCluster; cluster += kFatHighWordStep) add(cluster);
    return out;
}

FatFirstClusterEstimate EstimateDeletedFirstCluster(const CFatReviseReferences& references, const CFileNode* self,
                                                    u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                                    u64 clusterBytes, u64 highestCluster,
                                                    const FatCandidateLook& look) {
    const FatFirstClusterCandidates candidates =
        references.Candidates(self, size, recordedCluster, creationTime, clusterBytes, highestCluster);
    const auto taken = [&look](u64 cluster) { return look.taken && look.taken(cluster); };
    const auto written = [&](u64 cluster) { return !taken(cluster) && !(look.blank && look.blank(cluster)); };
    const std::vector<u64>& clusters = candidates.clusters;
    // Nothing suggests that the entry lost a high word: the file lies where its entry says, and
    // is counted by what is read there.
    if (!clusters.empty() && clusters.front() == recordedCluster && written(recordedCluster)) {
        return {recordedCluster, true};
    }
    if (look.holdsHeader) {
        for (const u64 cluster : clusters) {
            if (!taken(cluster) && look.holdsHeader(cluster)) return {cluster, true};
        }
    }
    // The clusters that may still hold its bytes: written, and held by no chain. One alone is the
    // file's; of more than one the likeliest is a guess.
    const u64* first = nullptr;
    size_t count = 0;
    for (const u64& cluster : clusters) {
        if (!written(cluster)) continue;
        if (first == nullptr) first = &cluster;
        if (++count > 1) break;
    }
    if (first != nullptr) return {*first, count == 1 && candidates.all};
    // Nowhere: the entry's own cluster where it names one, else the likeliest.
    if (recordedCluster >= kFatFirstDataCluster || clusters.empty()) return {recordedCluster, false};
    return {clusters.front(), false};
}

std::vector<IRawFileAnalyser*> GetFatReviseAnalysers() {
    const auto& list = CRawFileAnalyserRegistry::Instance().GetOffsetAnalyserList(0);
    return std::vector<IRawFileAnalyser*>(list.begin(), list.end());
}
