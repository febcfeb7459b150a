#include "tree/TBaseRepair.h"

// The two element-tree repairers: RealMedia (32-bit sizes) and Matroska
// (64-bit signed sizes).
template class TBaseRepair<unsigned int, unsigned int>;
template class TBaseRepair<unsigned int, long long>;
