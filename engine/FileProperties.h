#pragma once
// The reference-counted description of one found file or folder. Each file system (NTFS, FAT,
// exFAT) and the signature search implement it; tree nodes hold one reference each.
#include <atomic>
#include <string>

#include "platform/Types.h"

class IDataRunList;
class IRSData;

// Attribute bits the engine tests.
constexpr u16 kAttrHidden = 0x02;
constexpr u16 kAttrDirectory = 0x10;
constexpr u16 kAttrArchive = 0x20;
constexpr u16 kAttrEfsEncrypted = 0x40;  // set by the NTFS properties for EFS data streams
constexpr u16 kAttrSparse = 0x200;
constexpr u16 kAttrReparsePoint = 0x400;
constexpr u16 kAttrCompressed = 0x800;
constexpr u16 kAttrEncrypted = 0x4000;

// GetFileSystemKind answers.
constexpr u32 kPropertiesNtfs = 0;
constexpr u32 kPropertiesFat = 1;
constexpr u32 kPropertiesRaw = 3;
constexpr u32 kPropertiesExFat = 4;

// GetValidFields bits.
constexpr u32 kValidSize = 0x02;
constexpr u32 kValidAttributes = 0x04;
constexpr u32 kValidCreationTime = 0x08;
constexpr u32 kValidModificationTime = 0x10;
constexpr u32 kValidAccessTime = 0x20;
constexpr u32 kValidState = 0x40;

// State bits.
constexpr u16 kStateDeleted = 0x01;
// The file's data lies where the search guessed it (a first cluster estimated), and nothing on the
// device confirmed the guess: the writer keeps what it writes there but never counts it whole.
constexpr u16 kStateContentUnconfirmed = 0x10;
// Clusters of the file's data belong to another file now (a newer file, or the structures of a
// volume formatted over the file's own): the writer keeps what it reads there but never counts
// the file whole.
constexpr u16 kStateClustersTaken = 0x20;

class IFileProperties {
public:
    IFileProperties() = default;
    IFileProperties(const IFileProperties&) = delete;
    IFileProperties& operator=(const IFileProperties&) = delete;

    // Every implementation keeps this order of operations.
    virtual u32 GetNameLength() const = 0;
    virtual void SetName(const char* name) = 0;
    virtual const char* GetName() const = 0;  // null when no name was set
    virtual u64 GetSize() const = 0;
    virtual u16 GetAttributes() const = 0;
    virtual void GetExtraName(std::string& out) const = 0;
    // FILETIME values; 0 when unknown.
    virtual void GetCreationTime(FILETIME64& out) const = 0;
    virtual void GetModificationTime(FILETIME64& out) const = 0;
    virtual void GetAccessTime(FILETIME64& out) const = 0;
    virtual u16 GetState() const = 0;
    virtual u8 SetState(u8 state) = 0;
    // A new list expanded from the stored compact runs, owned by the caller; null without runs.
    virtual IDataRunList* CreateDataRunList() const = 0;
    virtual u32 GetValidFields() const = 0;
    virtual u8 GetFlag() const = 0;
    virtual u8 SetFlag(u8 flag) = 0;
    // Saved forms go through the stream, which throws CRSException on failure.
    virtual void Save(IRSData* stream) const = 0;
    virtual u32 GetFileSystemKind() const = 0;
    virtual void Load(IRSData* stream) = 0;
    virtual void Reserved18(u32, u32) {}
    virtual void Reserved19(u32, u32) {}
    // Bytes from the start of the data that hold written data; what lies past them reads as
    // zeros (NTFS keeps stale clusters there). The whole size where the file system has no such
    // bound or it is not known.
    virtual u64 GetInitializedSize() const { return GetSize(); }
    virtual ~IFileProperties() = default;

    // Holders may let go on any thread: a copy of a found file holds its properties while the
    // scan frees the tree. The count is wider than a byte: the preview pane starts a copy of the
    // row on every selection, and on a disk that hangs in a read the copies of one file wait
    // behind each other, each holding it, for as long as the read hangs.
    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // Destroys the object when the last holder lets go.
    void Release() {
        if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    u32 GetRefCount() const { return m_refCount.load(std::memory_order_relaxed); }

private:
    std::atomic<u32> m_refCount{1};
};

// Holds one reference to a properties object and lets it go when it goes. A factory's result is
// adopted (its count of 1 is the handle's); a copy takes one more reference. Handing the
// reference to a node is `.release()` at the call.
template <class Properties = IFileProperties>
class PropertiesRef {
public:
    PropertiesRef() = default;
    explicit PropertiesRef(Properties* adopted) : m_object(adopted) {}
    PropertiesRef(const PropertiesRef& other) : m_object(other.m_object) {
        if (m_object != nullptr) m_object->AddRef();
    }
    PropertiesRef(PropertiesRef&& other) noexcept : m_object(other.release()) {}
    template <class Other>
    PropertiesRef(PropertiesRef<Other>&& other) noexcept : m_object(other.release()) {}
    PropertiesRef& operator=(PropertiesRef other) noexcept {
        Properties* old = m_object;
        m_object = other.m_object;
        other.m_object = old;
        return *this;
    }
    ~PropertiesRef() { reset(); }

    Properties* get() const { return m_object; }
    Properties* operator->() const { return m_object; }
    Properties& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    // Gives up the reference without releasing it: the caller now holds it.
    Properties* release() {
        Properties* object = m_object;
        m_object = nullptr;
        return object;
    }
    void reset(Properties* adopted = nullptr) {
        Properties* old = m_object;
        m_object = adopted;
        if (old != nullptr) old->Release();
    }

private:
    Properties* m_object = nullptr;
};
