#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace bfs {

// Base of the reference-counted records of the file model. A listing's nodes are moved into the
// analysis result and shown by the plan long after the back-end that listed them is gone, so a
// node lives as long as anything still points at it. The count is atomic because trees are built
// on one thread and handed to another; a tree is never changed by two threads at once.
class TRefCounted {
  public:
    TRefCounted() = default;
    TRefCounted(const TRefCounted&) : m_RefCount(0) {}
    TRefCounted& operator=(const TRefCounted&) { return *this; }

    void AddRef() const noexcept { m_RefCount.fetch_add(1, std::memory_order_relaxed); }
    // Returns true when this was the last reference.
    bool Release() const noexcept { return m_RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    int32_t RefCount() const noexcept { return m_RefCount.load(std::memory_order_relaxed); }

  protected:
    ~TRefCounted() = default;

  private:
    mutable std::atomic<int32_t> m_RefCount{0};
};

// Intrusive counted pointer: one machine word per reference.
template <class T>
class TRefPtr {
  public:
    TRefPtr() noexcept = default;
    TRefPtr(std::nullptr_t) noexcept {}
    explicit TRefPtr(T* p) noexcept : m_Ptr(p) {
        if (m_Ptr) m_Ptr->AddRef();
    }
    TRefPtr(const TRefPtr& o) noexcept : m_Ptr(o.m_Ptr) {
        if (m_Ptr) m_Ptr->AddRef();
    }
    TRefPtr(TRefPtr&& o) noexcept : m_Ptr(std::exchange(o.m_Ptr, nullptr)) {}
    template <class U>
    TRefPtr(const TRefPtr<U>& o) noexcept : m_Ptr(o.get()) {
        if (m_Ptr) m_Ptr->AddRef();
    }
    ~TRefPtr() { reset(); }

    TRefPtr& operator=(const TRefPtr& o) noexcept {
        TRefPtr(o).swap(*this);
        return *this;
    }
    TRefPtr& operator=(TRefPtr&& o) noexcept {
        TRefPtr(std::move(o)).swap(*this);
        return *this;
    }
    TRefPtr& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    void reset() noexcept {
        if (m_Ptr && m_Ptr->Release()) delete m_Ptr;
        m_Ptr = nullptr;
    }
    void swap(TRefPtr& o) noexcept { std::swap(m_Ptr, o.m_Ptr); }

    T* get() const noexcept { return m_Ptr; }
    T* operator->() const noexcept { return m_Ptr; }
    T& operator*() const noexcept { return *m_Ptr; }
    explicit operator bool() const noexcept { return m_Ptr != nullptr; }
    friend bool operator==(const TRefPtr& a, const TRefPtr& b) noexcept { return a.m_Ptr == b.m_Ptr; }
    friend bool operator==(const TRefPtr& a, std::nullptr_t) noexcept { return a.m_Ptr == nullptr; }

  private:
    T* m_Ptr = nullptr;
};

template <class T, class... Args>
TRefPtr<T> MakeRef(Args&&... args) {
    return TRefPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace bfs
