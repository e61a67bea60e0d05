#include "fs/fat/ExFatFileProperties.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/CompactRunList.h"
#include "engine/RSData.h"
#include "fs/fat/FatFileProperties.h"

CExFatFileProperties::~CExFatFileProperties() {
    delete[] m_name;
    delete m_runs;
}

void CExFatFileProperties::SetName(const char* name) {
    if (name == nullptr) return;
    const size_t kept = std::min<size_t>(std::strlen(name), 0xFFFF);
    char* copy = new char[kept + 1];
    std::memcpy(copy, name, kept);
    copy[kept] = '\0';
    delete[] m_name;
    m_name = copy;
    m_nameLength = u16(kept);
}

IDataRunList* CExFatFileProperties::CreateDataRunList() const {
    return m_runs != nullptr ? m_runs->Expand() : nullptr;
}

void CExFatFileProperties::ClearRuns() {
    delete m_runs;
    m_runs = nullptr;
}

void CExFatFileProperties::SetRunList(IDataRunList* runs) {
    ClearRuns();
    if (runs == nullptr) return;
    m_runs = CCompactRunList::Create(runs);
    delete runs;
}

void CExFatFileProperties::Save(IRSData* stream) const {
    stream->WriteU16(m_nameLength);
    if (m_nameLength > 0) stream->Write(m_name, m_nameLength);
    stream->WriteU64(m_size);
    stream->WriteU16(m_attributes);
    stream->WriteU64(m_creationTime);
    stream->WriteU64(m_modificationTime);
    stream->WriteU64(m_accessTime);
    stream->WriteU8(m_state);
    stream->WriteU32(m_firstCluster);
    stream->WriteU32(m_secondCluster);
    stream->WriteU32(m_runs != nullptr ? 1 : 0);
    if (m_runs != nullptr) m_runs->Save(stream);
}

void CExFatFileProperties::Load(IRSData* stream) {
    delete[] m_name;
    m_name = nullptr;
    m_nameLength = 0;
    ClearRuns();
    m_flag = 0;

    const u16 length = stream->ReadU16();
    stream->CheckReadable(length);
    m_name = new char[size_t(length) + 1];
    if (length > 0) stream->Read(m_name, length);
    m_name[length] = '\0';
    // A saved name with a zero inside counts up to that zero.
    m_nameLength = u16(std::strlen(m_name));
    m_size = stream->ReadU64();
    m_attributes = stream->ReadU16();
    m_creationTime = stream->ReadU64();
    m_modificationTime = stream->ReadU64();
    m_accessTime = stream->ReadU64();
    m_state = stream->ReadU8();
    m_firstCluster = stream->ReadU32();
    m_secondCluster = stream->ReadU32();
    if (stream->ReadU32() != 0) {
        CCompactRunList* runs = CCompactRunList::Load(stream);
        if (runs != nullptr && runs->GetEncodedRuns() == nullptr) {
            delete runs;
            runs = nullptr;
        }
        m_runs = runs;
    }
}

void CExFatDataRunList::AppendClusterRun(const DataRunExtent& extent) { AppendExtentMerged(this, extent); }

CExFatFileProperties* NewExFatFileProperties() { return new (std::nothrow) CExFatFileProperties; }

CExFatFileProperties* LoadExFatFileProperties(IRSData* stream) {
    if (stream == nullptr) return nullptr;
    CExFatFileProperties* p = NewExFatFileProperties();
    if (p == nullptr) return nullptr;
    try {
        p->Load(stream);
    } catch (...) {
        p->Release();
        throw;
    }
    return p;
}

void SetFolderPropertiesName(CExFatFileProperties* properties, const char* name) {
    if (properties == nullptr) return;
    properties->SetName(name != nullptr ? name : "");
    properties->SetAttributes(u16(properties->GetAttributes() | kAttrDirectory));
}

IFileProperties* CreateExFatFolderProperties(const char* name) {
    CExFatFileProperties* p = NewExFatFileProperties();
    if (p == nullptr) return nullptr;
    SetFolderPropertiesName(p, name);
    p->SetSecondClusterWord(kExFatRootClusterWord);
    return p;
}
