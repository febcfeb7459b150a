// Where a chunk, list or object whose size field is broken really ends:
// where the next sound unit begins. The containers differ in what a unit
// looks like; the two ways of finding that place are the same in each.
//  - NextSoundUnit: the first position after the unit's start at which a
//    unit that may stand beside it begins (for a unit whose body tells
//    nothing of its length).
//  - ChildChainEnd: for a list or header object, its children walked by
//    their own sizes from the first one; the parent ends where the chain
//    meets a unit that may only stand beside it.
// The callers read, count their budget and test for an abort inside the
// functions they pass in; a negative code from them ends the search.
#ifndef MENDCORE_SIZEMEND_H
#define MENDCORE_SIZEMEND_H

#include <stdint.h>

#include <cstdlib>

namespace sizemend {

// The first x in [from, limit - headerSize] at which fits(x, bool& yes)
// says yes, in end; limit when there is none. 0 or fits' negative code.
template <class Fits>
int NextSoundUnit(int64_t from, int64_t limit, int64_t headerSize, Fits fits, int64_t& end)
{
    end = limit;
    for (int64_t x = from; limit - x >= headerSize; ++x) {
        bool yes = false;
        if (int r = fits(x, yes); r < 0)
            return r;
        if (yes) {
            end = x;
            return 0;
        }
    }
    return 0;
}

// What the reader of a chain says of the unit at a position.
struct ChainUnit {
    enum Kind {
        kChild,    // stands only in the parent
        kFiller,   // padding or the like: may stand in the parent or after it
        kSibling,  // stands only beside the parent: the parent ended before it
        kBroken,   // no unit that fits: the chain tells nothing
    };
    Kind kind = kBroken;
    int64_t length = 0;  // header, body and padding; > 0 for a child or filler
};

// Walks the children of a parent from first, each unit read by
// read(at, ChainUnit&) (0 or a negative code), up to limit. When the chain
// ends in a sibling, end is where the parent ends: declaredEnd when that is
// one of the places the chain allows (after its last child, or after any
// filler that follows it), else the allowed place nearest declaredEnd.
// When the chain ends in anything else (damage, the end of the input),
// end is -1: only the declared size can be judged. 0 or read's code.
template <class Read>
int ChildChainEnd(int64_t first, int64_t limit, int64_t declaredEnd, Read read, int64_t& end)
{
    end = -1;
    // The allowed place nearest declaredEnd so far, from the end of the
    // last child on: kept as the chain goes, so a long run of fillers costs
    // no memory.
    int64_t best = first;
    auto consider = [&best, declaredEnd](int64_t at) {
        if (best != declaredEnd && std::llabs(at - declaredEnd) < std::llabs(best - declaredEnd))
            best = at;
    };
    int64_t p = first;
    for (;;) {
        ChainUnit unit;
        if (p < limit) {
            if (int r = read(p, unit); r < 0)
                return r;
        }
        if (unit.kind == ChainUnit::kSibling)
            break;
        if (unit.kind == ChainUnit::kBroken || unit.length <= 0 || unit.length > limit - p)
            return 0;
        p += unit.length;
        if (unit.kind == ChainUnit::kChild)
            best = p;
        else
            consider(p);
    }
    end = best;
    return 0;
}

}  // namespace sizemend

#endif
