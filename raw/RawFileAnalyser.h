#pragma once
// The interface every format analyser of the RAW search implements.
#include <string>

#include "engine/RawFileInfo.h"
#include "platform/Types.h"

class IStorageDevice;

// One file format the RAW search recognises. The virtual operations keep this slot order.
class IRawFileAnalyser {
public:
    static constexpr u32 kNoTypeId = 0xFFFFFFFFu;

    virtual ~IRawFileAnalyser() = default;

    // Finds the record's true size by walking the file through the reader and writes it (at times
    // also the type and texts); 1 done, 0 the file could not be confirmed. Formats whose header
    // gives the length keep this one, which changes nothing.
    virtual u32 AnalyseFileSize(CRawFileInfo& /*record*/, IStorageDevice* /*reader*/) { return 1; }
    // Nonzero when the sector begins a file of this format. Sees only the sector's bytes (the
    // device's sector size, 512 or more) and never reads the device.
    virtual u32 CheckFileHeader(const u8* sector, CRawFileInfo& record) = 0;
    // Descriptive texts kept from the last file examined (titles, years, camera texts).
    virtual std::string GetInfoText1() { return std::string(); }
    virtual std::string GetInfoText2() { return std::string(); }
    virtual void GetSubTypeInfo(u32& id, std::string& text) {
        id = kNoTypeId;
        text.clear();
    }
    virtual void GetExtraRange(u64& a, u64& b) {
        a = 0;
        b = 0;
    }

    // A new scan begins: what an analyser keeps about the device from one file to the next goes.
    virtual void BeginScan() {}

    // The file-type id this analyser stands for; the controller copies it into a booked record.
    u32 GetAnalyserTypeId() const { return m_typeId; }

    // How many bytes from the sector's start the caller's buffer holds for the next header check:
    // the rest of the scanned block, where a format whose mark may lie beyond the first sector
    // looks for it. 0 (the default) stands for the sector alone. The RAW search sets it around
    // each check and clears it after, so no other caller's buffer is read past its sector.
    void SetHeaderBytes(u32 bytes) { m_headerBytes = bytes; }

protected:
    // The bytes a header check may read from the sector's start: at least `sectorBytes` (what
    // every caller's buffer holds), more where the caller said so, never more than `wanted`.
    u32 HeaderBytes(u32 sectorBytes, u32 wanted) const {
        const u32 held = m_headerBytes > sectorBytes ? m_headerBytes : sectorBytes;
        return held < wanted ? held : wanted;
    }

    IRawFileAnalyser() = default;
    explicit IRawFileAnalyser(u32 typeId) : m_typeId(typeId) {}

    u32 m_typeId = kNoTypeId;

private:
    u32 m_headerBytes = 0;
};
