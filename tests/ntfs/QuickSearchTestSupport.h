#pragma once
// What the quick-search tests share: a progress sink, a run of the search over a fixture volume
// with the recording builder, and paths rebuilt from the recorded ids.
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "NtfsTestSupport.h"
#include "RecordingBuilder.h"
#include "devices/PartitionDevice.h"
#include "engine/Progress.h"
#include "fs/ntfs/NTFSQuickSearch.h"

namespace quicktest {

class CountingProgress : public IProgress {
public:
    // Continued answers 0 from this call on (counting from 1); 0 never stops.
    u32 stopAtCall = 0;
    u32 continuedCalls = 0;
    std::vector<ProgressInfo> reports;

    i32 OnProgress(const ProgressInfo* record) override {
        if (record == nullptr || record->Total == 0) return -1;
        reports.push_back(*record);
        return 1;
    }
    u32 Continued() override {
        ++continuedCalls;
        return (stopAtCall != 0 && continuedCalls >= stopAtCall) ? 0 : 1;
    }
    u32 GetState() override { return kProgressRunning; }
};

// The tests' synthetic volumes live in memory.
using testutil::MemoryDevice;

struct VolumeCase {
    const char* image;
    const char* manifest;
    u32 sectorSize;
    int partition;
    u64 start;    // in device sectors
    u64 sectors;  // 0: to the end of the image
};

// The fixture's volume as the deleted-file scan sees it: a window of the image device.
struct VolumeDevice {
    VolumeDevice(const std::string& path, const VolumeCase& c) : image(path, c.sectorSize) {
        const u64 total = image.GetTotalSectors();
        const u64 count = c.sectors != 0 ? c.sectors : (total > c.start ? total - c.start : 0);
        volume = std::make_unique<CBasicPartitionDevice>(&image, c.start, count);
    }
    testutil::ImageDevice image;
    std::unique_ptr<CBasicPartitionDevice> volume;
};

struct QuickRun {
    u32 result = 0;
    testutil::RecordingBuilder builder;
    CountingProgress progress;
};

inline std::unique_ptr<QuickRun> RunQuickSearch(IStorageDevice* device) {
    auto run = std::make_unique<QuickRun>();
    CNTFSQuickSearch search;
    search.SetDirectoryTreeBuilder(&run->builder);
    run->result = search.Search(device, &run->progress);
    return run;
}

// "/a/b/name" of a recorded node through the recorded folders, or "" when a folder on the way
// is missing (or its record now holds a file).
inline std::string RecordedPath(const testutil::RecordingBuilder& builder, const testutil::RecordedNode& node) {
    std::map<u64, const testutil::RecordedNode*> folders;
    for (const testutil::RecordedNode& n : builder.nodes) {
        if (n.IsFolder()) folders[n.id] = &n;
    }
    std::string path = "/" + node.name;
    u64 parent = node.parentId;
    for (int depth = 0; depth < 64; ++depth) {
        if (parent == 5) return path;
        auto it = folders.find(parent);
        if (it == folders.end()) return "";
        path = "/" + it->second->name + path;
        parent = it->second->parentId;
    }
    return "";
}

using testutil::MergeRanges;

// The byte ranges (in the image) of a node's allocated runs up to `limit` bytes of its data.
inline std::vector<std::pair<u64, u64>> RunRanges(const testutil::RecordedNode& node, u64 volumeStartByte,
                                                  u64 bytesPerCluster, u64 limit) {
    std::vector<std::pair<u64, u64>> ranges;
    u64 position = 0;
    for (const DataRunExtent& e : node.runs) {
        if (position >= limit) break;
        const u64 bytes = e.length * bytesPerCluster;
        const u64 length = std::min(bytes, limit - position);
        position += bytes;
        if (e.start == kSparseExtentStart || length == 0) continue;
        ranges.emplace_back(volumeStartByte + u64(e.start) * bytesPerCluster, length);
    }
    return MergeRanges(ranges);
}

}  // namespace quicktest
