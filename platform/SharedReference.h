#pragma once

// Shared ownership of an immutable object that keeps its own count of
// references. Against std::shared_ptr it saves the separate control block's
// 16 bytes in the object's allocation and half of every reference (8 bytes,
// not 16), which adds up for objects held by the hundred thousand.

#include <QTypeInfo>
#include <QtGlobal>

#include <atomic>
#include <cstddef>
#include <utility>

namespace kv {

// The base of an object shared through SharedReference. The count starts
// at one: the reference of whoever made the object, which
// SharedReference::adopt() takes over.
struct SharedCount
{
    SharedCount() = default;
    // A copied object is a new object with a reference of its own.
    SharedCount(const SharedCount &) {}
    SharedCount &operator=(const SharedCount &) { return *this; }

    mutable std::atomic<int> references{1};
};

// A reference to a shared `T` (derived from SharedCount), or none. `Destroy`
// deletes the object when its last reference goes; it is called only then,
// so that `T` may be incomplete wherever references are merely copied.
//
// With `Tagged`, a reference may hold an odd number (a tag) instead: it
// refers to no object, and is copied and compared as it is. Objects are
// at least 2-aligned, so a tag is never an object's address.
template<typename T, void (*Destroy)(const T *), bool Tagged = false>
class SharedReference
{
public:
    SharedReference() = default;
    SharedReference(std::nullptr_t) {}
    // Takes over the reference an object is made with (new T).
    static SharedReference adopt(const T *object)
    {
        SharedReference reference;
        reference.m_object = object;
        return reference;
    }

    // A reference holding the tag `bits` (odd).
    static SharedReference tag(quintptr bits) requires Tagged
    {
        Q_ASSERT(bits & 1);
        SharedReference reference;
        reference.m_object = reinterpret_cast<const T *>(bits);
        return reference;
    }

    SharedReference(const SharedReference &other) noexcept : m_object(other.m_object)
    {
        if (refersToObject())
            m_object->references.fetch_add(1, std::memory_order_relaxed);
    }
    SharedReference(SharedReference &&other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    SharedReference &operator=(const SharedReference &other) noexcept
    {
        SharedReference(other).swap(*this);
        return *this;
    }
    SharedReference &operator=(SharedReference &&other) noexcept
    {
        SharedReference(std::move(other)).swap(*this);
        return *this;
    }
    ~SharedReference()
    {
        if (refersToObject() && m_object->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            Destroy(m_object);
    }

    void reset() noexcept { SharedReference().swap(*this); }
    // Gives the reference up without dropping it: the caller holds it now,
    // until adopt() takes it back.
    [[nodiscard]] const T *release() noexcept { return std::exchange(m_object, nullptr); }
    void swap(SharedReference &other) noexcept { std::swap(m_object, other.m_object); }

    // The object, or (for a tag) an address that is not one.
    const T *get() const { return m_object; }
    bool isTag() const
    {
        if constexpr (Tagged)
            return quintptr(m_object) & 1;
        return false;
    }
    quintptr tagBits() const { return quintptr(m_object); }
    bool refersToObject() const { return m_object != nullptr && !isTag(); }
    const T *operator->() const { return m_object; }
    const T &operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    // How many references the object has (for tests of sharing); 0 for none.
    int referenceCount() const { return refersToObject() ? m_object->references.load(std::memory_order_relaxed) : 0; }

    friend bool operator==(const SharedReference &a, const SharedReference &b) { return a.m_object == b.m_object; }
    friend bool operator==(const SharedReference &a, std::nullptr_t) { return a.m_object == nullptr; }

private:
    const T *m_object = nullptr;
};

} // namespace kv

// A reference moves as its bytes: containers relocate it with memmove.
template<typename T, void (*Destroy)(const T *), bool Tagged>
class QTypeInfo<kv::SharedReference<T, Destroy, Tagged>>
{
public:
    enum { isComplex = true, isRelocatable = true, isPointer = false, isIntegral = false };
};
