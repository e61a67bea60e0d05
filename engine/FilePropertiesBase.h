#pragma once
// What the properties classes of every file system have in common: the name, size, attributes,
// three times, state and flag, the compact run list, and the pieces of the saved form they share.
#include <atomic>
#include <cstddef>

#include "engine/FileProperties.h"

class CCompactRunList;

class CFilePropertiesBase : public IFileProperties {
public:
    ~CFilePropertiesBase() override;

    // A name and its length as one reader sees them: both from the same name, whatever renames
    // the object meanwhile. A null text (length 0) when there is none.
    struct NameView {
        const char* text = nullptr;
        u16 length = 0;
    };
    NameView CurrentName() const { return NameOf(m_name.load(std::memory_order_acquire)); }

    u32 GetNameLength() const override { return CurrentName().length; }
    // A name read here stays readable for as long as the object lives, whatever renames it
    // meanwhile: the scan renames shown files (a recycled file paired with its record, a tree
    // given its file system's name) while a copy or a window on another thread reads them.
    const char* GetName() const override { return CurrentName().text; }
    u64 GetSize() const override { return m_size; }
    u16 GetAttributes() const override { return m_attributes; }
    void GetExtraName(std::string& out) const override { out.clear(); }
    void GetCreationTime(FILETIME64& out) const override { out = m_creationTime; }
    void GetModificationTime(FILETIME64& out) const override { out = m_modificationTime; }
    void GetAccessTime(FILETIME64& out) const override { out = m_accessTime; }
    u16 GetState() const override { return m_state; }
    u8 SetState(u8 state) override { m_state = state; return m_state; }
    IDataRunList* CreateDataRunList() const override;
    u8 GetFlag() const override { return m_flag; }
    // Stores the flag and answers 1.
    u8 SetFlag(u8 flag) override { m_flag = flag; return 1; }

    void SetAttributes(u16 attributes) { m_attributes = attributes; }
    const CCompactRunList* GetRunList() const { return m_runs; }
    bool HasRuns() const { return m_runs != nullptr; }

protected:
    CFilePropertiesBase() = default;

    // Setters a class makes public (with a using-declaration) when its file system fills them.
    void SetSize(u64 size) { m_size = size; }
    void SetCreationTime(FILETIME64 t) { m_creationTime = t; }
    void SetModificationTime(FILETIME64 t) { m_modificationTime = t; }
    void SetAccessTime(FILETIME64 t) { m_accessTime = t; }

    // Replaces the name by a zero-terminated copy of the first `count` bytes of text and stores
    // `length` as its length (which may or may not count the zero). The name replaced is kept
    // until the object goes (see GetName). Throws std::bad_alloc, the object left as it was,
    // when memory runs out.
    void ReplaceName(const char* text, size_t count, u16 length);
    // The same, with room for at least `room` bytes of name; false, the object left as it was,
    // when memory runs out.
    bool TryReplaceName(const char* text, size_t count, u16 length, size_t room = 0) noexcept;
    // Replaces the name, cut to fit a 16-bit length that counts the terminating zero or not; a
    // null name changes nothing.
    void SetName16(const char* name, bool lengthCountsZero);
    // No name from here on; the one it had is kept as a replaced one is.
    void ClearName();
    // Replaces the runs by the compact form of the list (none for a null or empty list); the
    // list stays the caller's.
    void ReplaceRuns(IDataRunList* list);
    void ClearRuns();

    // How a loaded name's length is taken.
    enum class SavedName {
        AsSaved,      // the saved length; an empty name loads as none
        UpToFirstZero  // counted up to the first zero; an empty name loads as ""
    };
    // Reads `length` name bytes into a new zero-terminated buffer; the name must be cleared.
    void ReadName(IRSData* stream, u16 length, SavedName rule);

    // The head of the saved form with a 16-bit name length: u16 name length, the name's bytes,
    // u64 size, u16 attributes, u64 creation, modification and access times, u8 state.
    void SaveHead(IRSData* stream) const;
    // Drops the name and the runs, then reads the head.
    void LoadHead(IRSData* stream, SavedName rule);
    // u32 1 and the compact run list, or u32 0 without runs.
    void SaveRuns(IRSData* stream) const;
    void LoadRuns(IRSData* stream);
    // A compact run list alone; an empty one stands for none.
    void LoadCompactRuns(IRSData* stream);

    // The bytes of a name as its length says, without the length.
    static void WriteNameBytes(IRSData* stream, const NameView& name);

    u16 m_attributes = 0;
    u8 m_state = 0;
    u8 m_flag = 0;
    u64 m_size = 0;
    FILETIME64 m_creationTime = 0;
    FILETIME64 m_modificationTime = 0;
    FILETIME64 m_accessTime = 0;
    CCompactRunList* m_runs = nullptr;

private:
    // A name lives in one block, its u16 length first and its bytes after it, so that a rename
    // swaps length and bytes together in one store and a reader never pairs one name's length
    // with another's bytes (a saved result written while the scan renames the file).
    static NameView NameOf(const char* block);
    // Makes the block the name (the object owns it from here on); the block it replaces is kept
    // until the object goes.
    void AdoptNameBlock(char* block);

    std::atomic<char*> m_name{nullptr};
    // Set once a name was replaced: this object's earlier names wait in the process's table.
    std::atomic<bool> m_renamed{false};
};

// Fills a new properties object from a saved form and hands its reference back; a null object
// or stream gives null (the object is released). When the stream throws, the object is released
// and the exception passed on.
template <class Properties>
Properties* LoadNewFileProperties(PropertiesRef<Properties> fresh, IRSData* stream) {
    if (!fresh || stream == nullptr) return nullptr;
    fresh->Load(stream);
    return fresh.release();
}
