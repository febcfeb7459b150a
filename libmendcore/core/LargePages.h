// Memory for the library's large buffers and record lists, asked for in the
// system's huge pages where it has them. A buffer of a few MiB made of
// small pages costs one page fault per 4 KiB the first time it is written,
// which on a virtual machine can cost more than reading the file through
// it; in huge pages it costs one per 2 MiB. Small blocks come from the
// ordinary heap.
#ifndef MENDCORE_LARGEPAGES_H
#define MENDCORE_LARGEPAGES_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

// The system's huge page on x86-64.
constexpr size_t kHugePage = size_t(2) << 20;

// bytes of memory aligned to a huge page, in whole huge pages; throws
// std::bad_alloc when there is none. FreeLarge takes the same byte count.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* p, size_t bytes);

// Blocks from this size on are large; below it they are the heap's.
constexpr size_t kLargeFrom = size_t(512) * 1024;

template <class T>
class CLargePageAllocator {
public:
    using value_type = T;

    CLargePageAllocator() = default;
    template <class U>
    CLargePageAllocator(const CLargePageAllocator<U>&) noexcept
    {
    }

    T* allocate(size_t n)
    {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        if (n * sizeof(T) < kLargeFrom)
            return std::allocator<T>().allocate(n);
        return static_cast<T*>(AllocateLarge(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept
    {
        if (n * sizeof(T) < kLargeFrom)
            std::allocator<T>().deallocate(p, n);
        else
            FreeLarge(p, n * sizeof(T));
    }

    template <class U>
    bool operator==(const CLargePageAllocator<U>&) const noexcept
    {
        return true;
    }
    template <class U>
    bool operator!=(const CLargePageAllocator<U>&) const noexcept
    {
        return false;
    }
};

template <class T>
using LargeVector = std::vector<T, CLargePageAllocator<T>>;
using LargeBytes = LargeVector<uint8_t>;

// The same memory for buffers that a read fills before anything looks at
// them: growing one leaves the new bytes as they are instead of zeroing
// them, so a window costs only the pages its reads touch.
template <class T>
class CLargePageRawAllocator : public CLargePageAllocator<T> {
public:
    using value_type = T;

    CLargePageRawAllocator() = default;
    template <class U>
    CLargePageRawAllocator(const CLargePageRawAllocator<U>&) noexcept
    {
    }

    template <class U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using ReadBuffer = std::vector<uint8_t, CLargePageRawAllocator<uint8_t>>;

// A record list that grows a block of huge pages at a time: appending never
// copies what it holds, and a long walk pays one page fault per block, not
// one per 4 KiB (as a deque's small blocks do).
template <class T>
class LargeBlockList {
public:
    static constexpr size_t kPerBlock = kHugePage / sizeof(T) ? kHugePage / sizeof(T) : 1;

    class const_iterator {
    public:
        const_iterator(const LargeBlockList* list, size_t i) : m_list(list), m_i(i) {}
        const T& operator*() const { return (*m_list)[m_i]; }
        const_iterator& operator++()
        {
            ++m_i;
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return m_i != o.m_i; }

    private:
        const LargeBlockList* m_list;
        size_t m_i;
    };

    void push_back(const T& value)
    {
        if (m_size == m_blocks.size() * kPerBlock) {
            m_blocks.emplace_back();
            m_blocks.back().reserve(kPerBlock);
        }
        m_blocks.back().push_back(value);
        ++m_size;
    }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T& operator[](size_t i) { return m_blocks[i / kPerBlock][i % kPerBlock]; }
    const T& operator[](size_t i) const { return m_blocks[i / kPerBlock][i % kPerBlock]; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_size); }
    // Empties the list and gives its memory back.
    void clear()
    {
        std::vector<LargeVector<T>>().swap(m_blocks);
        m_size = 0;
    }

private:
    std::vector<LargeVector<T>> m_blocks;
    size_t m_size = 0;
};

#endif
