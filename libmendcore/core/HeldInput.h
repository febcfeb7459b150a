// A small input held whole in memory. The parse tries one container after
// another on the same file, and each parser reads it again, a few KiB per
// call after every seek: a file of a few hundred KiB costs a hundred calls
// to the system. Held, it is read with one call when the parse starts, and
// every parser, and the repair's copy, read the bytes already in memory.
#ifndef MENDCORE_HELDINPUT_H
#define MENDCORE_HELDINPUT_H

#include <stdint.h>

#include <memory>

#include "core/BaseStream.h"

class CHeldInput : public IBaseStream {
public:
    // Files up to this size are held; larger ones are read from the file
    // in windows as they are walked.
    static constexpr long long kMaxHeld = 1 << 20;

    // The bytes of `from`, read at its start with one ReadAt (which leaves
    // its position and its failure mark as they are). Null when the input
    // is larger than kMaxHeld, cannot read at a position, or falls short:
    // the caller then reads the input itself, and hears its errors there.
    static std::unique_ptr<CHeldInput> Take(IBaseStream* from);

    unsigned int Read(void* buf, unsigned int n) override;
    // An input is never written.
    unsigned int Write(const void*, unsigned int) override { return 0; }
    long long GetLength() override { return m_size; }
    long long SetLength(long long) override { return -1; }
    long long GetPos() override;
    long long SeekTo(long long pos) override;
    long long JumpOver(long long distance) override;
    // The bytes never change once held: no lock.
    long long ReadAt(long long pos, void* buf, unsigned int n) override;

private:
    CHeldInput(std::unique_ptr<uint8_t[]> bytes, long long size) : m_bytes(std::move(bytes)), m_size(size) {}

    const std::unique_ptr<uint8_t[]> m_bytes;
    const long long m_size;
    long long m_pos = 0;
    CStreamLock m_lock;
};

#endif
