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
constexpr char kUnknownName[] = "UnkownName";  // spelled as saved results and users know it
}  // namespace

void CRAWFileProperties::SetRawFileName(const char* name) {
    if (name == nullptr) {
        ClearName();
        return;
    }
    const std::string_view kept = Utf8Prefix(name, kMaxRawNameBytes);
    if (TryReplaceName(kept.data(), kept.size(), static_cast<u16>(kept.size() + 1))) return;
    LogInfo("CRAWFileProperties::SetRawFileName null pointer\n");
    const size_t fallback = std::strlen(kUnknownName);
    if (!TryReplaceName(kUnknownName, fallback, static_cast<u16>(fallback + 1), kFallbackNameSize)) ClearName();
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
    // device, and the writer counts what it does not reach as missing. A file whose walk ended
    // short of its end (missing bytes that are not past the device's end) has its extent's last
    // sector read past where it stopped: nothing there is known to be the file's, so it is
    // never counted whole either way.
    m_size = record.StatedSize();
    if (record.missingBytes != 0) m_state = u8(m_state | kStateContentUnconfirmed);
    return 1;
}

void CRAWFileProperties::Save(IRSData* stream) const {
    // The name length is 8 bits wide here and no times are kept.
    const NameView name = CurrentName();
    stream->WriteU8(static_cast<u8>(name.length));
    WriteNameBytes(stream, name);
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
