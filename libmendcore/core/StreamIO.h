// Typed field access over IBaseStream. Each helper zero-initialises the
// field first, so a short read never leaves stale bytes behind, and reports
// whether the whole field was transferred.
#ifndef MENDCORE_STREAMIO_H
#define MENDCORE_STREAMIO_H

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

#endif
