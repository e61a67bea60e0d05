#include "devices/VolumeAnalyzerSet.h"

#include <atomic>

#include "devices/VolumeRecord.h"

namespace {
std::atomic<VolumeAnalyzerFactory> g_factories[kVolumeAnalyzerSlotCount];
std::atomic<BootSectorClassifier> g_classifiers[kVolumeAnalyzerSlotCount];

u32 SlotIndex(VolumeAnalyzerSlot slot) { return static_cast<u32>(slot); }
}  // namespace

void RegisterVolumeAnalyzer(VolumeAnalyzerSlot slot, VolumeAnalyzerFactory factory) {
    const u32 i = SlotIndex(slot);
    if (i < kVolumeAnalyzerSlotCount) g_factories[i].store(factory);
}

VolumeAnalyzerFactory GetVolumeAnalyzerFactory(VolumeAnalyzerSlot slot) {
    const u32 i = SlotIndex(slot);
    return i < kVolumeAnalyzerSlotCount ? g_factories[i].load() : nullptr;
}

void RegisterBootSectorClassifier(VolumeAnalyzerSlot slot, BootSectorClassifier classifier) {
    const u32 i = SlotIndex(slot);
    if (i < kVolumeAnalyzerSlotCount) g_classifiers[i].store(classifier);
}

BootSectorClassifier GetBootSectorClassifier(VolumeAnalyzerSlot slot) {
    const u32 i = SlotIndex(slot);
    return i < kVolumeAnalyzerSlotCount ? g_classifiers[i].load() : nullptr;
}

VolumeAnalyzerSet::VolumeAnalyzerSet(IStorageDevice* device, u64 firstSector) {
    for (VolumeAnalyzerSlot slot : {VolumeAnalyzerSlot::kNtfs, VolumeAnalyzerSlot::kFat, VolumeAnalyzerSlot::kExFat}) {
        VolumeAnalyzerFactory factory = GetVolumeAnalyzerFactory(slot);
        if (!factory) continue;
        IVolume* analyzer = factory(device, firstSector);
        if (analyzer) m_analyzers.emplace_back(analyzer);
    }
}

IVolume* VolumeAnalyzerSet::GetRecognized() {
    IVolume* last = nullptr;
    for (auto& a : m_analyzers) {
        last = a.get();
        if (a->GetFileSystemType() != kFsUnknown) return last;
    }
    return last;
}
