#include "engine/FilePropertiesBase.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
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

// A name block: the u16 length, then the name's bytes and at least one zero.
constexpr size_t kNameHead = sizeof(u16);

// A new block holding the first `count` bytes of text with that length, zeros after them to fill
// `room` bytes or the length, whichever is more; null when memory runs out.
char* NewNameBlock(const char* text, size_t count, u16 length, size_t room) noexcept {
    const size_t bytes = std::max({count + 1, size_t(length), room});
    char* block = new (std::nothrow) char[kNameHead + bytes];
    if (block == nullptr) return nullptr;
    std::memcpy(block, &length, kNameHead);
    if (count > 0) std::memcpy(block + kNameHead, text, count);
    std::memset(block + kNameHead + count, 0, bytes - count);
    return block;
}

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

CFilePropertiesBase::NameView CFilePropertiesBase::NameOf(const char* block) {
    NameView name;
    if (block == nullptr) return name;
    std::memcpy(&name.length, block, kNameHead);
    name.text = block + kNameHead;
    return name;
}

void CFilePropertiesBase::AdoptNameBlock(char* block) {
    char* old = m_name.exchange(block, std::memory_order_acq_rel);
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
    if (!TryReplaceName(text, count, length)) throw std::bad_alloc();
}

bool CFilePropertiesBase::TryReplaceName(const char* text, size_t count, u16 length, size_t room) noexcept {
    // The copy is made before the old name goes, so a failed allocation leaves the object whole.
    char* block = NewNameBlock(text, count, length, room);
    if (block == nullptr) return false;
    AdoptNameBlock(block);
    return true;
}

void CFilePropertiesBase::SetName16(const char* name, bool lengthCountsZero) {
    if (name == nullptr) return;
    const size_t kept = std::min<size_t>(std::strlen(name), lengthCountsZero ? 0xFFFE : 0xFFFF);
    ReplaceName(name, kept, u16(lengthCountsZero ? kept + 1 : kept));
}

void CFilePropertiesBase::ClearName() { AdoptNameBlock(nullptr); }

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
    // The saved bytes carry no zero of their own (or a damaged record lacks it): the block ends
    // them with one.
    std::unique_ptr<char[]> block(NewNameBlock(nullptr, 0, length, size_t(length) + 1));
    if (!block) throw std::bad_alloc();
    if (length > 0) stream->Read(block.get() + kNameHead, length);
    // A saved name with a zero inside counts up to that zero under the second rule.
    if (rule == SavedName::UpToFirstZero) {
        const u16 counted = u16(std::strlen(block.get() + kNameHead));
        std::memcpy(block.get(), &counted, kNameHead);
    }
    AdoptNameBlock(block.release());
}

void CFilePropertiesBase::WriteNameBytes(IRSData* stream, const NameView& name) {
    // The block holds at least as many bytes as the length says, whether or not it counts the
    // zero: write exactly that many.
    if (name.length > 0) stream->Write(name.text, name.length);
}

void CFilePropertiesBase::SaveHead(IRSData* stream) const {
    const NameView name = CurrentName();
    stream->WriteU16(name.length);
    WriteNameBytes(stream, name);
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
