// WAV: a RIFF (or RF64) form of type "WAVE". The analysis walks the chunks,
// keeping every well-formed one (known or not), honours the pad byte after
// an odd-sized chunk, finds where the sample data really ends whatever its
// size field says, and walks the ID3v2 tag of an "id3 " chunk frame by
// frame. The rebuild writes a RIFF form of the chunks that survived, with
// every size recomputed; an output that a RIFF size cannot describe is
// refused.
#ifndef MENDCORE_WAVREPAIR_H
#define MENDCORE_WAVREPAIR_H

#include <stdint.h>

#include <vector>

#include "core/BaseRepair.h"

class CWAVRepair : public CBaseRepair {
public:
    explicit CWAVRepair(IBaseStream* in);
    ~CWAVRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override;
    int RepairLevel3(const char* refPath) override;

    // One accepted chunk.
    struct Chunk {
        uint32_t id = 0;
        int64_t pos = 0;       // header position
        int64_t body = 0;      // body bytes the rebuild keeps (for "data" the ones found)
        ByteRuns id3Damaged;   // damaged frames of an "id3 " chunk's tag
        int64_t id3Removed = 0;
    };
    // What the walk found; for tests.
    const std::vector<Chunk>& Chunks() const { return m_chunks; }
    const ByteRuns& Damaged() const { return m_bad; }

    // The size of the RIFF form the rebuild writes (after "RIFF" and its size).
    int64_t RebuiltFormSize() const;

private:
    class CChunkEnd;

    // The steps of the walk, in the order the file is read: an "id3 "
    // chunk some writers put in front of the form, the form's own header
    // (with RF64's ds64 sizes), the chunks, and the damage records.
    int FindLeadingTag(Chunk& lead);
    int ReadForm(uint64_t& riffSize);
    int WalkChunks();
    void RecordDamage(uint64_t riffSize);

    bool ReadHeader(int64_t pos, uint32_t& id, uint32_t& size);
    // A plausible chunk header at pos: a printable id that is known when
    // asked to be, and a size that fits the input.
    bool HeaderAt(int64_t pos, bool knownOnly);
    // Bytes from pos to the next chunk (the pad byte included), or 0 when
    // no acceptable chunk stands at pos.
    int64_t ChunkAt(int64_t pos, bool resync);
    bool CheckFmt(int64_t body, uint32_t size);
    // Mends the one PCM field that breaks the ties between them; false
    // when they hold no such single mend.
    static bool MendPcmFields(uint16_t& channels, uint32_t& rate, uint32_t& byteRate, uint16_t& blockAlign,
                              uint16_t& bits);
    int64_t FindDataEnd(int64_t body, uint32_t declared);
    int WalkId3(Chunk& c, int64_t body, int64_t size);
    int64_t PaddedEnd(int64_t end, bool odd);
    // Whether the rebuild writes the chunk.
    static bool Rebuilt(const Chunk& c);
    const Chunk* FactChunk() const;
    const Chunk* FirstFmt() const;
    // The sample count a "fact" chunk must declare for the data kept, when
    // it declares another; -1 when it is right or cannot be known.
    int64_t FactCount();

    std::vector<Chunk> m_chunks;
    ByteRuns m_bad;
    bool m_rf64 = false;
    uint64_t m_ds64Data = 0;
    bool m_fmtFound = false;
    bool m_dataFound = false;
    uint32_t m_blockAlign = 0;
    int64_t m_budget = 0;
    int m_lastError = 0;  // an internal code met inside a chunk check
    int64_t m_zeroFrom = -1;  // where a tail of nothing but zeros starts
    int64_t m_riffStart = 0;  // after a leading "id3 " chunk
    bool m_pcm = false;       // integer or float PCM
    // The first format's fields were mended: its first 16 bytes as the
    // rebuild writes them.
    bool m_fmtMended = false;
    uint8_t m_fmtFields[16] = {};
};

#endif
