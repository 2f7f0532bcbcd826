#pragma once

// Many short strings made at once (a snapshot's keys, by the hundred
// thousand) in shared blocks of memory. Each block is one allocation: the
// strings made in it refer to their parts of it and each holds a reference
// to the whole, which is freed when the last of them goes. A string made
// here costs its characters and a terminator, not an allocation and a
// header of its own; it is an ordinary QString to everything else (copied,
// compared, changed: a change copies it out first unless it is the block's
// only user, as for any shared QString). The price: a string that outlives
// the others of its block keeps the whole block, at most BlockCharacters
// code units. The first blocks are smaller, so that a few strings cost
// little more than their own.

#include <QString>

#include <algorithm>
#include <utility>

namespace kv {

class StringBlocks
{
public:
    // Code units per block (8 KiB), after a first of FirstBlockCharacters
    // and each next twice the last. Strings of more than a quarter of
    // BlockCharacters get an allocation of their own.
    static constexpr qsizetype BlockCharacters = 4096;
    static constexpr qsizetype FirstBlockCharacters = 256;

    StringBlocks() = default;
    StringBlocks(const StringBlocks &) = delete;
    StringBlocks &operator=(const StringBlocks &) = delete;
    ~StringBlocks() { release(); }

    // A string of `length` code units, which `fill(char16_t *)` writes.
    template<typename Fill>
    QString make(qsizetype length, Fill &&fill)
    {
        if (length == 0)
            return QString();
        if (length + 1 > BlockCharacters / 4) {
            QString own(length, Qt::Uninitialized);
            std::forward<Fill>(fill)(reinterpret_cast<char16_t *>(own.data()));
            return own;
        }
        while (length + 1 > m_left)
            startBlock();
        char16_t *at = m_next;
        std::forward<Fill>(fill)(at);
        at[length] = u'\0'; // QString::utf16() gives its data as it is
        m_next += length + 1;
        m_left -= length + 1;
        m_block->ref();
        return QString(QString::DataPointer(m_block, at, length));
    }

private:
    using Block = QTypedArrayData<char16_t>;

    void startBlock()
    {
        release();
        m_blockCharacters = m_blockCharacters ? std::min(2 * m_blockCharacters, BlockCharacters) : FirstBlockCharacters;
        auto [block, data] = Block::allocate(m_blockCharacters);
        Q_CHECK_PTR(block);
        m_block = block;
        m_next = data;
        m_left = block->allocatedCapacity();
    }

    // Gives up this maker's own reference to the current block: the block
    // stays while strings made in it do.
    void release()
    {
        if (m_block && !m_block->deref())
            Block::deallocate(m_block);
        m_block = nullptr;
        m_left = 0;
    }

    Block *m_block = nullptr;
    char16_t *m_next = nullptr;
    qsizetype m_left = 0;
    qsizetype m_blockCharacters = 0; // of the last block started
};

} // namespace kv
