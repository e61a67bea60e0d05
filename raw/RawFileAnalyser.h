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
    // The most a header check looks at from its sector's start, where the caller holds that much.
    static constexpr u32 kHeaderLookAheadBytes = 2048;

    virtual ~IRawFileAnalyser() = default;

    // Finds the record's true size by walking the file through the reader and writes it (at times
    // also the type and texts); 1 done, 0 the file could not be confirmed. Formats whose header
    // gives the length keep this one, which changes nothing.
    virtual u32 AnalyseFileSize(CRawFileInfo& /*record*/, IStorageDevice* /*reader*/) { return 1; }
    // Nonzero when the sector begins a file of this format. `held` is how many bytes from the
    // sector's start the caller's buffer holds: the sector (512 bytes or more), and where the
    // bytes after it on the device are at hand, those up to kHeaderLookAheadBytes from its start,
    // for a format whose mark may lie past its first sector. Never reads the device.
    virtual u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) = 0;
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

    // The file-type id this analyser stands for; the controller copies it into a booked record.
    u32 GetAnalyserTypeId() const { return m_typeId; }

protected:
    IRawFileAnalyser() = default;
    explicit IRawFileAnalyser(u32 typeId) : m_typeId(typeId) {}

    u32 m_typeId = kNoTypeId;
};
