#pragma once

// A table of values keyed by 64-bit hashes, in one flat array of slots
// (open addressing, linear probing, at most half full). A lookup reads one
// slot, usually, where a node-based hash reads a bucket and then a node; a
// slot can be asked for ahead with prefetch(), so that a long run of
// lookups overlaps its memory reads. Keys are hashes already: any 64-bit
// value, 0 included. Entries are removed only by removeIf(), which makes
// the table again.

#include <QtGlobal>

#include <utility>
#include <vector>

namespace kv {

template<typename Value>
class HashSlots
{
public:
    qsizetype size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }

    // The value of `key`, or null.
    const Value *find(quint64 key) const
    {
        if (key == Free)
            return m_freeKeyUsed ? &m_freeKeyValue : nullptr;
        if (m_slots.empty())
            return nullptr;
        for (size_t i = slotOf(key);; i = (i + 1) & mask()) {
            const Slot &slot = m_slots[i];
            if (slot.key == key)
                return &slot.value;
            if (slot.key == Free)
                return nullptr;
        }
    }
    // The value of `key`, made from `Value()` when there was none, and
    // whether it was made.
    std::pair<Value &, bool> findOrInsert(quint64 key)
    {
        if (key == Free) {
            const bool made = !m_freeKeyUsed;
            if (made) {
                m_freeKeyUsed = true;
                m_freeKeyValue = Value();
                ++m_size;
            }
            return {m_freeKeyValue, made};
        }
        if (2 * (m_size + 1) > qsizetype(m_slots.size()))
            resize(2 * (m_size + 1));
        size_t i = slotOf(key);
        for (; m_slots[i].key != Free; i = (i + 1) & mask()) {
            if (m_slots[i].key == key)
                return {m_slots[i].value, false};
        }
        m_slots[i] = Slot{key, Value()};
        ++m_size;
        return {m_slots[i].value, true};
    }
    // Asks for the slot where a lookup of `key` starts.
    void prefetch(quint64 key) const
    {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[slotOf(key)]);
    }
    // Drops every entry for which `drop(key, value)` is true; the table is
    // made again, as small as the entries kept allow.
    template<typename Drop>
    void removeIf(Drop drop)
    {
        if (m_freeKeyUsed && drop(quint64(Free), std::as_const(m_freeKeyValue))) {
            m_freeKeyUsed = false;
            --m_size;
        }
        qsizetype kept = m_freeKeyUsed ? 1 : 0;
        for (Slot &slot : m_slots) {
            if (slot.key == Free)
                continue;
            if (drop(slot.key, std::as_const(slot.value)))
                slot.key = Free;
            else
                ++kept;
        }
        resize(2 * (kept + 1));
    }
    void clear()
    {
        m_slots.clear();
        m_shift = 64;
        m_size = 0;
        m_freeKeyUsed = false;
    }

private:
    // A slot whose key is Free is empty; the key Free itself is kept apart.
    static constexpr quint64 Free = 0;
    struct Slot
    {
        quint64 key = Free;
        Value value{};
    };

    size_t mask() const { return m_slots.size() - 1; }
    // The key's high bits after a multiplication (Fibonacci hashing): every
    // bit of the key moves the slot, whatever the table's size.
    size_t slotOf(quint64 key) const { return size_t((key * 0x9e3779b97f4a7c15ull) >> m_shift); }
    // Moves the entries to a table of at least `least` slots (16 or more).
    void resize(qsizetype least)
    {
        size_t count = 16;
        int shift = 60;
        while (count < size_t(least)) {
            count *= 2;
            --shift;
        }
        std::vector<Slot> slots(count);
        slots.swap(m_slots);
        m_shift = shift;
        m_size = m_freeKeyUsed ? 1 : 0;
        for (Slot &slot : slots) {
            if (slot.key == Free)
                continue;
            size_t i = slotOf(slot.key);
            while (m_slots[i].key != Free)
                i = (i + 1) & mask();
            m_slots[i] = std::move(slot);
            ++m_size;
        }
    }

    std::vector<Slot> m_slots; // a power of two of them (16 or more), or none
    int m_shift = 64;          // 64 less the power
    qsizetype m_size = 0;
    bool m_freeKeyUsed = false;
    Value m_freeKeyValue{};
};

} // namespace kv
