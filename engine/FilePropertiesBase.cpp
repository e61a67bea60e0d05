#include "engine/FilePropertiesBase.h"

#include <algorithm>
#include <cstring>

#include "engine/CompactRunList.h"
#include "engine/RSData.h"

CFilePropertiesBase::~CFilePropertiesBase() {
    delete[] m_name;
    delete m_runs;
}

IDataRunList* CFilePropertiesBase::CreateDataRunList() const {
    return m_runs != nullptr ? m_runs->Expand() : nullptr;
}

void CFilePropertiesBase::ReplaceName(const char* text, size_t count, u16 length) {
    // The copy is made before the old name goes, so a failed allocation leaves the object whole.
    char* copy = new char[count + 1];
    std::memcpy(copy, text, count);
    copy[count] = '\0';
    delete[] m_name;
    m_name = copy;
    m_nameLength = length;
}

void CFilePropertiesBase::SetName16(const char* name, bool lengthCountsZero) {
    if (name == nullptr) return;
    const size_t kept = std::min<size_t>(std::strlen(name), lengthCountsZero ? 0xFFFE : 0xFFFF);
    ReplaceName(name, kept, u16(lengthCountsZero ? kept + 1 : kept));
}

void CFilePropertiesBase::ClearName() {
    delete[] m_name;
    m_name = nullptr;
    m_nameLength = 0;
}

void CFilePropertiesBase::ReplaceRuns(IDataRunList* list) {
    CCompactRunList* runs = CCompactRunList::Create(list);
    delete m_runs;
    m_runs = runs;
}

void CFilePropertiesBase::ClearRuns() {
    delete m_runs;
    m_runs = nullptr;
}

void CFilePropertiesBase::ReadName(IRSData* stream, u16 length, SavedName rule) {
    if (length == 0 && rule == SavedName::AsSaved) return;
    stream->CheckReadable(length);
    m_name = new char[size_t(length) + 1];
    if (length > 0) stream->Read(m_name, length);
    // The saved bytes carry no zero of their own (or a damaged record lacks it): end the buffer.
    m_name[length] = '\0';
    // A saved name with a zero inside counts up to that zero under the second rule.
    m_nameLength = rule == SavedName::UpToFirstZero ? u16(std::strlen(m_name)) : length;
}

void CFilePropertiesBase::SaveHead(IRSData* stream) const {
    stream->WriteU16(m_nameLength);
    // The name buffer holds at least nameLength bytes, whether or not the length counts the
    // zero: write exactly what the length says.
    if (m_nameLength > 0) stream->Write(m_name, m_nameLength);
    stream->WriteU64(m_size);
    stream->WriteU16(m_attributes);
    stream->WriteU64(m_creationTime);
    stream->WriteU64(m_modificationTime);
    stream->WriteU64(m_accessTime);
    stream->WriteU8(m_state);
}

void CFilePropertiesBase::LoadHead(IRSData* stream, SavedName rule) {
    ClearName();
    ClearRuns();
    ReadName(stream, stream->ReadU16(), rule);
    m_size = stream->ReadU64();
    m_attributes = stream->ReadU16();
    m_creationTime = stream->ReadU64();
    m_modificationTime = stream->ReadU64();
    m_accessTime = stream->ReadU64();
    m_state = stream->ReadU8();
}

void CFilePropertiesBase::SaveRuns(IRSData* stream) const {
    stream->WriteU32(m_runs != nullptr ? 1 : 0);
    if (m_runs != nullptr) m_runs->Save(stream);
}

void CFilePropertiesBase::LoadRuns(IRSData* stream) {
    if (stream->ReadU32() != 0) LoadCompactRuns(stream);
}

void CFilePropertiesBase::LoadCompactRuns(IRSData* stream) {
    CCompactRunList* runs = CCompactRunList::Load(stream);
    if (runs != nullptr && runs->GetEncodedRuns() == nullptr) {
        delete runs;
        runs = nullptr;
    }
    delete m_runs;
    m_runs = runs;
}
