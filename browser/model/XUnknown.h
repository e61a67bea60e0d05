#pragma once
// The reference-counted base of the browser's tree nodes and list rows. A new object holds one
// reference; the last Release deletes it.
#include <atomic>

#include "platform/Types.h"

namespace FileSelCtrl {

class XUnknown {
public:
    XUnknown() = default;
    XUnknown(const XUnknown&) = delete;
    XUnknown& operator=(const XUnknown&) = delete;

    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    i32 RefCount() const { return m_refCount.load(std::memory_order_relaxed); }

protected:
    virtual ~XUnknown() = default;

private:
    std::atomic<i32> m_refCount{1};
};

// Holds one reference for a scope; null is allowed.
template <class T>
class RefHolder {
public:
    explicit RefHolder(T* object = nullptr) : m_object(object) {}
    ~RefHolder() {
        if (m_object) m_object->Release();
    }
    RefHolder(const RefHolder&) = delete;
    RefHolder& operator=(const RefHolder&) = delete;
    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T* m_object;
};

}  // namespace FileSelCtrl
