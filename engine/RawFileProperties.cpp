#include "engine/RawFileProperties.h"

#include <cstring>
#include <new>
#include <string_view>

#include "engine/CompactRunList.h"
#include "engine/DataRunList.h"
#include "engine/RSData.h"
#include "engine/RawFileInfo.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace {
// The stored length is 8 bits wide and counts the terminating zero.
constexpr size_t kMaxRawNameBytes = 254;
constexpr size_t kFallbackNameSize = 260;
}  // namespace

void CRAWFileProperties::SetRawFileName(const char* name) {
    if (name == nullptr) {
        ClearName();
        return;
    }
    const std::string_view kept = Utf8Prefix(name, kMaxRawNameBytes);
    char* copy = new (std::nothrow) char[kept.size() + 1];
    if (copy == nullptr) {
        LogInfo("CRAWFileProperties::SetRawFileName null pointer\n");
        copy = new (std::nothrow) char[kFallbackNameSize];
        if (copy == nullptr) {
            ClearName();
            return;
        }
        std::strcpy(copy, "UnkownName");
        AdoptName(copy, static_cast<u16>(std::strlen(copy) + 1));
        return;
    }
    std::memcpy(copy, kept.data(), kept.size());
    copy[kept.size()] = '\0';
    AdoptName(copy, static_cast<u16>(kept.size() + 1));
}

u32 CRAWFileProperties::SetExtent(u64 startSector, u64 size) {
    m_size = size;
    CRAWDataRunList runs;
    // (size + 511) >> 9 without overflowing for sizes near the top of the range.
    runs.AppendExtent(startSector, (size >> 9) + ((size & 511) != 0 ? 1 : 0));
    ReplaceRuns(&runs);
    return 1;
}

u32 CRAWFileProperties::SetExtent(const CRawFileInfo& record) {
    SetExtent(record.startSector, record.size);
    // A file cut at the device's end keeps the size its bytes give; its extent ends with the
    // device, and the writer counts what it does not reach as missing.
    m_size = record.StatedSize();
    return 1;
}

void CRAWFileProperties::Save(IRSData* stream) const {
    // The name length is 8 bits wide here and no times are kept.
    stream->WriteU8(static_cast<u8>(GetNameLength()));
    WriteNameBytes(stream);
    stream->WriteU64(m_size);
    stream->WriteU16(m_attributes);
    stream->WriteU8(m_state);
    if (m_runs != nullptr) {
        m_runs->Save(stream);
    } else {
        // The format has no presence flag: an empty compact list (length 0, offset 0) stands
        // for "no runs" and loads back as none.
        stream->WriteU32(0);
        stream->WriteU16(0);
    }
}

void CRAWFileProperties::Load(IRSData* stream) {
    ClearName();
    ClearRuns();
    ReadName(stream, stream->ReadU8(), SavedName::AsSaved);
    m_size = stream->ReadU64();
    m_attributes = stream->ReadU16();
    m_state = stream->ReadU8();
    LoadCompactRuns(stream);
}

PropertiesRef<CRAWFileProperties> CreateRAWFileProperties() {
    return PropertiesRef<CRAWFileProperties>(new (std::nothrow) CRAWFileProperties);
}

IFileProperties* LoadRAWFileProperties(IRSData* stream) { return LoadNewFileProperties(CreateRAWFileProperties(), stream); }

void SetFolderPropertiesName(CRAWFileProperties* properties, const char* name) {
    if (properties == nullptr) return;
    properties->SetName(name);
    properties->SetAttributes(kAttrDirectory);
}

IFileProperties* CreateRAWFolderProperties(u32 /*fsCode*/, const char* name) {
    CRAWFileProperties* raw = new (std::nothrow) CRAWFileProperties;
    SetFolderPropertiesName(raw, name);
    return raw;
}
