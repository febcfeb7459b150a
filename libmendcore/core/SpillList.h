// A record list for walks that keep one record per unit of a recording:
// the block being filled and the few blocks used last stay in memory, and
// every block filled goes to an unnamed temporary file, read back when a
// record of it is asked for. A recording of tens of gigabytes then costs
// a few blocks of memory, whatever its number of units. Where no temporary
// file can be had or written, the blocks stay in memory, as in a plain
// list: the walk goes on with the memory it needs.
//
// A reference from operator[] holds until records of kSlots other blocks
// have been asked for since, or the list has grown by a block; the
// iterators give copies.
#ifndef MENDCORE_SPILLLIST_H
#define MENDCORE_SPILLLIST_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

// The unnamed temporary file of one list, made on the first write, gone
// when it is closed (or the process ends). Each call says whether all of
// its bytes were written or read.
class CSpillFile {
public:
    CSpillFile() = default;
    CSpillFile(const CSpillFile&) = delete;
    CSpillFile& operator=(const CSpillFile&) = delete;
    ~CSpillFile() { Close(); }

    bool Write(int64_t at, const void* data, size_t n);
    bool Read(int64_t at, void* data, size_t n);
    void Close();

private:
    int m_fd = -1;
    bool m_failed = false;  // no file could be made: none is tried again
};

template <class T, size_t kBlockBytes = size_t(256) * 1024>
class SpillList {
    static_assert(std::is_trivially_copyable<T>::value, "records go to a file as bytes");

public:
    static constexpr size_t kPerBlock = kBlockBytes / sizeof(T) ? kBlockBytes / sizeof(T) : 1;
    // Blocks read back held at once, besides the block being filled.
    static constexpr size_t kSlots = 4;

    class const_iterator {
    public:
        const_iterator(const SpillList* list, size_t i) : m_list(list), m_i(i) {}
        T operator*() const { return m_list->At(m_i); }
        const_iterator& operator++()
        {
            ++m_i;
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return m_i != o.m_i; }

    private:
        const SpillList* m_list;
        size_t m_i;
    };

    SpillList() = default;
    SpillList(const SpillList&) = delete;
    SpillList& operator=(const SpillList&) = delete;

    void push_back(const T& value)
    {
        if (m_tail.size() == kPerBlock)
            SpillTail();
        if (m_tail.capacity() < kPerBlock)
            m_tail.reserve(kPerBlock);
        m_tail.push_back(value);
        ++m_size;
    }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T& back() { return m_tail.back(); }
    T& operator[](size_t i) { return Slot(i / kPerBlock, true)[i % kPerBlock]; }
    const T& operator[](size_t i) const { return At(i); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_size); }

    // Empties the list, gives its memory back and closes its file.
    void clear()
    {
        std::vector<T>().swap(m_tail);
        std::vector<std::unique_ptr<T[]>>().swap(m_held);
        for (Cached& c : m_cache)
            c = Cached();
        m_file.Close();
        m_size = 0;
        m_clock = 0;
    }

    // Bytes of records held in memory: the block being filled, the blocks
    // read back, and any block no file took.
    size_t HeldBytes() const
    {
        size_t n = m_tail.capacity();
        for (const Cached& c : m_cache)
            n += c.data.capacity();
        for (const auto& h : m_held)
            n += h ? kPerBlock : 0;
        return n * sizeof(T);
    }

private:
    static constexpr size_t kNone = SIZE_MAX;
    struct Cached {
        size_t block = kNone;
        bool dirty = false;
        uint64_t used = 0;
        std::vector<T> data;
    };

    static int64_t Offset(size_t block) { return int64_t(block) * int64_t(kPerBlock * sizeof(T)); }
    size_t TailBlock() const { return m_held.size(); }

    // Reading a record may bring its block back: the slots change, the
    // records do not.
    const T& At(size_t i) const { return const_cast<SpillList*>(this)->Slot(i / kPerBlock, false)[i % kPerBlock]; }

    // The records of a block: the block being filled, a block no file
    // took, or one read back into a slot (the one used longest ago gives
    // way, written back first where it was changed).
    T* Slot(size_t block, bool write)
    {
        if (block == TailBlock())
            return m_tail.data();
        if (m_held[block])
            return m_held[block].get();
        Cached* slot = nullptr;
        for (Cached& c : m_cache)
            if (c.block == block)
                slot = &c;
        if (!slot) {
            slot = &Evict();
            if (slot->data.size() < kPerBlock)
                slot->data.resize(kPerBlock);
            // Records that cannot be read back are memory the walk cannot
            // have: the repair ends as one whose allocation failed.
            if (!m_file.Read(Offset(block), slot->data.data(), kPerBlock * sizeof(T)))
                throw std::bad_alloc();
            slot->block = block;
        }
        slot->used = ++m_clock;
        slot->dirty = slot->dirty || write;
        return slot->data.data();
    }

    // The slot used longest ago, emptied: its block written back if it was
    // changed, or kept in memory where the file does not take it.
    Cached& Evict()
    {
        Cached* oldest = &m_cache[0];
        for (Cached& c : m_cache)
            if (c.block == kNone || (oldest->block != kNone && c.used < oldest->used))
                oldest = &c;
        if (oldest->block != kNone && oldest->dirty &&
            !m_file.Write(Offset(oldest->block), oldest->data.data(), kPerBlock * sizeof(T)))
            m_held[oldest->block] = Copy(oldest->data.data());
        oldest->block = kNone;
        oldest->dirty = false;
        return *oldest;
    }

    static std::unique_ptr<T[]> Copy(const T* data)
    {
        auto copy = std::make_unique<T[]>(kPerBlock);
        std::copy(data, data + kPerBlock, copy.get());
        return copy;
    }

    // The full block being filled goes to the file and stays at hand in a
    // slot, clean: the walk looks back at its last records most.
    void SpillTail()
    {
        const size_t block = TailBlock();
        const bool written = m_file.Write(Offset(block), m_tail.data(), kPerBlock * sizeof(T));
        m_held.emplace_back(written ? nullptr : Copy(m_tail.data()));
        if (!written) {
            m_tail.clear();
            return;
        }
        Cached& slot = Evict();
        slot.data.swap(m_tail);
        slot.block = block;
        slot.used = ++m_clock;
        m_tail.clear();
    }

    std::vector<T> m_tail;                    // the block being filled
    std::vector<std::unique_ptr<T[]>> m_held;  // per full block: set where no file took it
    Cached m_cache[kSlots];
    CSpillFile m_file;
    size_t m_size = 0;
    uint64_t m_clock = 0;
};

#endif
