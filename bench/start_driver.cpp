// A program that loads the shared library, makes and drops one repair
// object, and exits: bench/e2e.sh times it for the library's share of an
// application's start-up.
#include "mendcore/VideoRepair.h"

int main()
{
    IVideoRepair* repair = CreateRepair();
    if (!repair)
        return 1;
    DestroyRepair(repair);
    return 0;
}
