#pragma once
// The process-wide switches and limits that the scan engine, the deep searches and the RAW
// analysers consult. Each switch is one aligned 32-bit word that one thread writes and others
// read without a lock.
#include <atomic>
#include <set>
#include <string>

#include "platform/Types.h"

class ScanOptions {
public:
    ScanOptions();
    ScanOptions(const ScanOptions&) = delete;
    ScanOptions& operator=(const ScanOptions&) = delete;

    // Boot-sector analysis of the deep searches (NTFS and FAT).
    u32 GetBootSectorAnalysis() const { return m_bootSectorAnalysis.load(std::memory_order_relaxed); }
    void SetBootSectorAnalysis(u32 v) { m_bootSectorAnalysis.store(v, std::memory_order_relaxed); }

    // Disk reads zero-fill and record bad areas instead of failing.
    u32 GetSkipBadSectors() const { return m_skipBadSectors.load(std::memory_order_relaxed); }
    void SetSkipBadSectors(u32 v) { m_skipBadSectors.store(v, std::memory_order_relaxed); }

    // Module whose string table supplies captions; null means the program's own.
    void* GetStringModule() const { return m_stringModule.load(std::memory_order_relaxed); }
    void SetStringModule(void* module) { m_stringModule.store(module, std::memory_order_relaxed); }

    // FAT directory-entry plausibility: date and time checks.
    u32 GetFatDateCheck() const { return m_fatDateCheck.load(std::memory_order_relaxed); }
    void SetFatDateCheck(u32 v) { m_fatDateCheck.store(v, std::memory_order_relaxed); }
    u32 GetFatTimeCheck() const { return m_fatTimeCheck.load(std::memory_order_relaxed); }
    void SetFatTimeCheck(u32 v) { m_fatTimeCheck.store(v, std::memory_order_relaxed); }

    // FAT deep search: a record with flag bit 0x40 also gets 0x80; one with 0x100 also gets 0x200.
    u32 GetFatFlag80() const { return m_fatFlag80.load(std::memory_order_relaxed); }
    void SetFatFlag80(u32 v) { m_fatFlag80.store(v, std::memory_order_relaxed); }
    u32 GetFatFlag200() const { return m_fatFlag200.load(std::memory_order_relaxed); }
    void SetFatFlag200(u32 v) { m_fatFlag200.store(v, std::memory_order_relaxed); }

    // NTFS deep search: a $Bitmap record inside a run of $MFT records gives the run's cluster count.
    u32 GetNtfsCollectionSwitch() const { return m_ntfsCollectionSwitch.load(std::memory_order_relaxed); }
    void SetNtfsCollectionSwitch(u32 v) { m_ntfsCollectionSwitch.store(v, std::memory_order_relaxed); }

    // NTFS deep search: copied into a candidate's MFT-numbering switch (two words, low first).
    u64 GetNtfsCandidateValues() const {
        return u64(m_ntfsCandidateLow.load(std::memory_order_relaxed)) |
               (u64(m_ntfsCandidateHigh.load(std::memory_order_relaxed)) << 32);
    }
    void SetNtfsCandidateValues(u64 v) {
        m_ntfsCandidateLow.store(u32(v), std::memory_order_relaxed);
        m_ntfsCandidateHigh.store(u32(v >> 32), std::memory_order_relaxed);
    }

    // The ScanRaw switch: set before each scan from Config.dat.
    u32 GetScanRaw() const { return m_scanRaw.load(std::memory_order_relaxed); }
    void SetScanRaw(u32 v) { m_scanRaw.store(v, std::memory_order_relaxed); }

    // The FAT quick search's revise pass over FAT32 folders: set before each scan from Config.dat,
    // so that the file systems never read the settings themselves.
    u32 GetFatRevise() const { return m_fatRevise.load(std::memory_order_relaxed); }
    void SetFatRevise(u32 v) { m_fatRevise.store(v, std::memory_order_relaxed); }

    // 0 when a scan thread starts, 1 when the user stops the scan.
    u32 GetStopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }
    void SetStopRequested(u32 v) { m_stopRequested.store(v, std::memory_order_relaxed); }
    bool IsStopRequested() const { return GetStopRequested() != 0; }

    // Unit in bytes from which the RAW analysers derive their largest plausible file sizes.
    u64 GetSizeUnit() const { return m_sizeUnit; }

    // Type numbers of the file-type description table that are enabled (all, 1 to 115).
    const std::set<u32>& GetEnabledFileTypes() const { return m_enabledFileTypes; }
    bool IsFileTypeEnabled(u32 type) const { return m_enabledFileTypes.count(type) != 0; }

    // Context of a found partition's display name; a letter of 0 means none (-1).
    void SetFoundPartitionNaming(const std::string& label, i32 driveLetter);
    // "%c:(%s - %s %d)", "%s(%s %d)", "%c:(%s %d)" or "%s %d" depending on the naming context,
    // cut to 254 characters.
    std::string GetFoundPartitionName(const char* fileSystemName, int number) const;

private:
    std::atomic<u32> m_bootSectorAnalysis{1};
    std::atomic<u32> m_skipBadSectors{1};
    std::atomic<void*> m_stringModule{nullptr};
    std::atomic<u32> m_fatDateCheck{1};
    std::atomic<u32> m_fatTimeCheck{1};
    std::atomic<u32> m_fatFlag80{1};
    std::atomic<u32> m_fatFlag200{1};
    std::atomic<u32> m_ntfsCollectionSwitch{1};
    std::atomic<u32> m_ntfsCandidateLow{1};
    std::atomic<u32> m_ntfsCandidateHigh{0};
    std::atomic<u32> m_scanRaw{1};
    std::atomic<u32> m_fatRevise{1};
    std::atomic<u32> m_stopRequested{0};
    u64 m_sizeUnit = 200000000;
    std::set<u32> m_enabledFileTypes;
    std::string m_namingLabel;
    i32 m_namingDriveLetter = -1;
};

constexpr u64 kScanOptionsSizeUnit = 200000000;
constexpr u32 kFileTypeCount = 115;

// The single ScanOptions of the process, built on the first call. The first call must complete
// before a second thread makes one.
ScanOptions& GetScanOptions();
