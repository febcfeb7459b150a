// Typed field access over IBaseStream. Each helper zero-initialises the
// field first, so a short read never leaves stale bytes behind, and reports
// whether the whole field was transferred.
#ifndef MENDCORE_STREAMIO_H
#define MENDCORE_STREAMIO_H

#include <stdint.h>

#include <type_traits>

#include "core/BaseStream.h"

// Little-endian field.
template <typename T>
bool ReadField(IBaseStream* s, T& value)
{
    static_assert(std::is_trivially_copyable<T>::value, "plain fields only");
    value = T();
    return s && s->Read(&value, sizeof(T)) == sizeof(T);
}

// Big-endian field.
template <typename T>
bool ReadFieldR(IBaseStream* s, T& value)
{
    static_assert(std::is_integral<T>::value, "integers only");
    value = T();
    return s && s->ReadR(&value, sizeof(T)) == sizeof(T);
}

template <typename T>
bool WriteField(IBaseStream* s, const T& value)
{
    static_assert(std::is_trivially_copyable<T>::value, "plain fields only");
    return s && s->Write(&value, sizeof(T)) == sizeof(T);
}

template <typename T>
bool WriteFieldR(IBaseStream* s, const T& value)
{
    static_assert(std::is_integral<T>::value, "integers only");
    return s && s->WriteR(&value, sizeof(T)) == sizeof(T);
}

// Fields inside a block already read into memory.
inline uint32_t LoadBE32(const uint8_t* b)
{
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

inline uint32_t LoadLE32(const uint8_t* b)
{
    return (uint32_t(b[3]) << 24) | (uint32_t(b[2]) << 16) | (uint32_t(b[1]) << 8) | b[0];
}

inline void StoreBE32(uint8_t* b, uint32_t v)
{
    b[0] = uint8_t(v >> 24);
    b[1] = uint8_t(v >> 16);
    b[2] = uint8_t(v >> 8);
    b[3] = uint8_t(v);
}

#endif
