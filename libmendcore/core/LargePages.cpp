#include "core/LargePages.h"

#include <sys/mman.h>

namespace {

size_t Rounded(size_t bytes)
{
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

}  // namespace

void* AllocateLarge(size_t bytes)
{
    if (bytes > SIZE_MAX - 2 * kHugePage)
        throw std::bad_alloc();
    const size_t size = Rounded(bytes);
    // Mapped with a huge page of slack, so an aligned stretch lies inside;
    // the slack on either side is given back.
    void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (aligned > start)
        munmap(mapped, aligned - start);
    const uintptr_t end = start + size + kHugePage;
    if (end > aligned + size)
        munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    void* p = reinterpret_cast<void*>(aligned);
    // Without transparent huge pages this asks for nothing: the memory is
    // then made of small pages, as the heap's is.
    madvise(p, size, MADV_HUGEPAGE);
    return p;
}

void FreeLarge(void* p, size_t bytes)
{
    if (p)
        munmap(p, Rounded(bytes));
}
