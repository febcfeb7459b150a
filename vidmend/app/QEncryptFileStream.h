// The repair library's output stream over one keyed file stream of the
// media layer: what is written is enciphered with the stream's key, what is
// read is deciphered. The library's worker thread calls it while a repair
// runs; every operation holds the stream's own mutex, which is recursive
// because SeekTo reports its result through GetPos.
#ifndef VIDMEND_QENCRYPTFILESTREAM_H
#define VIDMEND_QENCRYPTFILESTREAM_H

#include <QRecursiveMutex>

#include "MediaCore.h"
#include "mendcore/VideoRepair.h"

class QEncryptFileStream : public IVideoStream {
public:
    // mode 0 reads an existing file, mode 1 creates a new one; *ok tells
    // whether the file was opened. The object exists either way.
    QEncryptFileStream(const char* path, unsigned int mode, bool* ok);
    // Not virtual: IVideoStream has no virtual destructor, so owners always
    // delete the stream through this type.
    ~QEncryptFileStream();
    QEncryptFileStream(const QEncryptFileStream&) = delete;
    QEncryptFileStream& operator=(const QEncryptFileStream&) = delete;

    // The media layer's answer (1 = accepted); the key is kept only then.
    int SetCryptKey(unsigned int key);
    unsigned int GetCryptKey() const { return m_key; }

    unsigned int Read(void* buffer, unsigned int size) override;
    unsigned int Write(const void* buffer, unsigned int size) override;
    long long GetLength() override;
    long long GetPos() override;
    // Moves to pos, or to the end when pos lies past it; a negative pos
    // leaves the position where it was. Returns the position afterwards.
    long long SeekTo(long long pos) override;

private:
    MediaStream* m_handle = nullptr;
    unsigned int m_key = 0;
    QRecursiveMutex m_mutex;
};

#endif
