#include "engine/FilePropertiesBase.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "engine/CompactRunList.h"
#include "engine/RSData.h"

namespace {
// The names a rename replaced, by the object they belonged to, until that object goes. Renames
// are few (a file or a tree named once more after it was found), so the table stays small.
struct RetiredNames {
    std::mutex lock;
    std::unordered_multimap<const CFilePropertiesBase*, std::unique_ptr<char[]>> names;
};

RetiredNames& Retired() {
    // Never destroyed: a properties object a copy still holds may go after the process's
    // statics did.
    static RetiredNames* retired = new RetiredNames;
    return *retired;
}
}  // namespace

CFilePropertiesBase::~CFilePropertiesBase() {
    delete[] m_name.load();
    if (m_renamed.load()) {
        RetiredNames& r = Retired();
        const std::lock_guard<std::mutex> hold(r.lock);
        r.names.erase(this);
    }
    delete m_runs;
}

void CFilePropertiesBase::AdoptName(char* name, u16 length) {
    m_nameLength.store(length, std::memory_order_relaxed);
    char* old = m_name.exchange(name, std::memory_order_acq_rel);
    if (old == nullptr) return;
    RetiredNames& r = Retired();
    const std::lock_guard<std::mutex> hold(r.lock);
    r.names.emplace(this, std::unique_ptr<char[]>(old));
    m_renamed.store(true);
}

IDataRunList* CFilePropertiesBase::CreateDataRunList() const {
    return m_runs != nullptr ? m_runs->Expand() : nullptr;
}

void CFilePropertiesBase::ReplaceName(const char* text, size_t count, u16 length) {
    // The copy is made before the old name goes, so a failed allocation leaves the object whole.
    char* copy = new char[count + 1];
    std::memcpy(copy, text, count);
    copy[count] = '\0';
    AdoptName(copy, length);
}

void CFilePropertiesBase::SetName16(const char* name, bool lengthCountsZero) {
    if (name == nullptr) return;
    const size_t kept = std::min<size_t>(std::strlen(name), lengthCountsZero ? 0xFFFE : 0xFFFF);
    ReplaceName(name, kept, u16(lengthCountsZero ? kept + 1 : kept));
}

void CFilePropertiesBase::ClearName() { AdoptName(nullptr, 0); }

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
    std::unique_ptr<char[]> name(new char[size_t(length) + 1]);
    if (length > 0) stream->Read(name.get(), length);
    // The saved bytes carry no zero of their own (or a damaged record lacks it): end the buffer.
    name[length] = '\0';
    // A saved name with a zero inside counts up to that zero under the second rule.
    const u16 counted = rule == SavedName::UpToFirstZero ? u16(std::strlen(name.get())) : length;
    AdoptName(name.release(), counted);
}

void CFilePropertiesBase::WriteNameBytes(IRSData* stream) const {
    // The name buffer holds at least nameLength bytes, whether or not the length counts the
    // zero: write exactly what the length says.
    const u16 length = m_nameLength.load(std::memory_order_relaxed);
    if (length > 0) stream->Write(m_name.load(std::memory_order_acquire), length);
}

void CFilePropertiesBase::SaveHead(IRSData* stream) const {
    stream->WriteU16(m_nameLength.load(std::memory_order_relaxed));
    WriteNameBytes(stream);
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
