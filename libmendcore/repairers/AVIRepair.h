// AVI and OpenDML: the RIFF walk that judges every chunk size against what
// really follows, and the rebuild that copies the good chunks and writes new
// indexes ("idx1", and OpenDML standard and super indexes) and header counts.
#ifndef MENDCORE_AVIREPAIR_H
#define MENDCORE_AVIREPAIR_H

#include <stdint.h>

#include <memory>
#include <utility>
#include <vector>

#include "core/BaseRepair.h"

class CDataParser;

// One stream, from its "strh" and "strf".
struct StreamLenMsg {
    int64_t headerPos = 0;  // data position of the "strh" chunk
    uint32_t fccType = 0;
    uint32_t initialFrames = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t length = 0;      // declared length, in the unit below
    uint32_t sampleSize = 0;  // dwSampleSize: 0 = the length counts chunks
    uint32_t formatValue = 0; // "auds": block alignment; "vids": compression
    uint32_t formatTag = 0;   // "auds": wFormatTag
    uint32_t samplesPerSec = 0;   // "auds": nSamplesPerSec
    uint32_t avgBytesPerSec = 0;  // "auds": nAvgBytesPerSec
    bool rateMended = false;      // scale and rate below are what the rebuild writes
    uint32_t start = 0;           // dwStart, in the stream's units
    bool startMended = false;     // the rebuild writes a start of 0
    uint64_t countedChunks = 0;
    uint64_t countedBytes = 0;
    bool hasFormat = false;
};

// One damaged chunk: for a list or form its type, and the type's position.
struct TagInfo {
    uint32_t fourcc = 0;
    int64_t realSize = 0;
    int64_t start = 0;  // data position (a list's: its type)
};

struct MoviContext {
    int64_t start = 0;  // position of the list type "movi"
    int64_t end = 0;    // start plus the judged list size
    std::vector<TagInfo> damaged;  // damaged data, "rec " and ix## chunks
};

// An "idx1" or ix## chunk met after the first "movi".
struct IndexContext {
    uint32_t fourcc = 0;
    uint32_t movi = 0;
    std::pair<int64_t, int64_t> range;  // data position, end of the chunk
};

class CAVIRepair : public CBaseRepair {
public:
    explicit CAVIRepair(IBaseStream* in);
    ~CAVIRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override;
    int RepairLevel3(const char* refPath) override;

    static int Macro2Level(int macro);
    int Uint2Macro(uint32_t fourcc) const;
    // Checks the chunk whose data (a list's or form's type) starts at the
    // input position. Its real size, with the position after it, or a
    // negative internal code.
    // inside: the walk goes on inside the list (its type was read): where
    // its size holds, the look at what follows its end leaves the read
    // buffer where the walk goes on, so a list nested in lists costs no
    // read of its own, and the position is the caller's to set.
    int64_t JudgeTag(uint32_t fourcc, uint32_t size, bool critical, bool inside = false);
    // Checks the header list ("hdrl" or "strl") whose type starts at the
    // input position by its children, and mends a broken size to the end
    // they give; else as JudgeTag. Its real size, with the position after
    // it, or a negative internal code.
    int64_t JudgeHeaderList(uint32_t type, uint32_t size);

    // What the walk found; for tests.
    const std::vector<StreamLenMsg>& Streams() const { return m_streams; }
    const std::vector<MoviContext>& Movis() const { return m_movis; }
    const std::vector<int64_t>& RiffEnds() const { return m_riffEnds; }

private:
    // A data chunk of the rebuilt movi list, as found in its copy.
    struct ChunkRecord {
        uint32_t fourcc;
        uint32_t size;
        int64_t pos;  // output position of the chunk header
        uint32_t stream;
        bool key;
    };
    // Finds the chunks of a movi list in its copy; defined with the rebuild.
    struct WalkedChunk;
    class CMoviWalker;
    // Header chunks of the output that the rebuild patches.
    struct OutputHeaders {
        int64_t avih = -1;
        uint32_t avihSize = 0;
        int64_t dmlh = -1;
        uint32_t dmlhSize = 0;
        std::vector<std::pair<int64_t, uint32_t>> strh;  // data position, size
        std::vector<int64_t> indx;                       // per stream, -1 = none
        std::vector<uint32_t> indxRoom;
        std::vector<uint32_t> indxUsed;
    };

    int WalkChunk(uint32_t fourcc, uint32_t size, int64_t headerPos);
    int ReadStreamHeader(uint32_t size);
    int ReadStreamFormat(uint32_t size, int64_t headerPos);
    int64_t JudgeHeaderChild(uint32_t fourcc, uint32_t size, int64_t headerPos, uint32_t list, int64_t listEnd);
    int HeaderUnitFits(uint32_t list, int64_t listEnd, int64_t at, bool sized, bool& fits);
    int TrailingBytes(int64_t from);
    int ZeroToEnd(int64_t from);
    int CheckIdx1(const IndexContext& index);
    int LookAhead(int64_t data, uint32_t size, int64_t limit, int64_t farLimit);
    int64_t NextIdStart(int64_t from, int64_t limit, bool formOnly);
    bool LevelRule(int m, int level, int m2) const;
    int StreamNumber(uint32_t fourcc) const;
    uint64_t CountedLength(const StreamLenMsg& s, uint64_t chunks, uint64_t bytes) const;
    bool LengthAgrees(const StreamLenMsg& s) const;
    // Judges each stream's rate against what the file says elsewhere (the
    // main header's frame period, the audio format); a rate that is 0 or
    // far from it is recorded and set to the one those imply.
    void TrustAvihOrVideoRate();
    void CheckRates();

    void BuildSkipRanges();
    int CopyRange(int64_t from, int64_t to, ICopyObserver* observer = nullptr);
    int RepairMovi(uint32_t i);
    int AddData(uint32_t i, std::vector<ChunkRecord>& records);
    CDataParser* ParserOf(uint32_t fourcc) const;
    uint32_t KeyFrameBytes(uint32_t fourcc, uint32_t size) const;
    void RecordChunk(const WalkedChunk& chunk, std::vector<ChunkRecord>& records);
    int AddIdx1(int64_t moviType, const std::vector<ChunkRecord>& records);
    int AddIX(int64_t moviType, const std::vector<ChunkRecord>& records);
    int FindOutputHeaders(int64_t from, int64_t to);
    int PatchHeaders();
    int PatchU32(int64_t pos, uint32_t value);
    int PatchSize(int64_t sizeField);

    bool m_cannotRepair = false;
    int64_t m_budget = 0;
    // Where the walk stopped: bytes from here on hold no chunk.
    int64_t m_tailFrom = 0;
    // The last zero scan: [m_zeroFrom, m_zeroStop) held only zeros.
    int64_t m_zeroFrom = -1;
    int64_t m_zeroStop = -1;
    // Bytes read at m_peekAt past the read buffer (the ends of lists the
    // walk goes into): lists nested in each other end at the same place.
    int PeekAt(int64_t at, uint8_t* out, int n);
    std::vector<uint8_t> m_peek;
    int64_t m_peekAt = -1;
    // The block the byte search read last, from m_scanStart.
    std::vector<uint8_t> m_scanBlock;
    int64_t m_scanStart = 0;
    unsigned m_seen = 0;       // header chunks met, SeenHeader bits
    int m_firstVideo = -1;     // the first "vids" stream
    uint32_t m_frameMicros = 0;  // the main header's microseconds per frame
    bool m_avihRead = false;
    int64_t m_hdrlStart = -1;
    int64_t m_hdrlEnd = -1;
    // The size that holds for a header list whose size field is broken, for
    // the copy; -1 when the field holds.
    int64_t m_hdrlMended = -1;
    // The same for each stream's list of the first form, by its place among
    // them; -1 where the field holds.
    std::vector<int64_t> m_strlMended;
    size_t m_strlCount = 0;
    // Where the stream list and the extended header list last walked end
    // (first form only), and the sizes that hold for chunks of the first
    // form's header lists whose size fields are broken: the field's input
    // position, which is its place in the copy too, and the size.
    int64_t m_strlEnd = -1;
    int64_t m_odmlEnd = -1;
    std::vector<std::pair<int64_t, uint32_t>> m_sizeMends;
    std::vector<int64_t> m_riffStarts;
    std::vector<int64_t> m_riffEnds;
    std::vector<int64_t> m_indxPositions;
    std::vector<StreamLenMsg> m_streams;
    std::vector<TagInfo> m_damaged;
    std::vector<MoviContext> m_movis;
    std::vector<IndexContext> m_indexes;

    // Rebuild state.
    std::vector<std::pair<int64_t, int64_t>> m_skip;
    std::vector<std::unique_ptr<CDataParser>> m_parsers;
    std::vector<uint64_t> m_outChunks;
    std::vector<uint64_t> m_outBytes;
    uint64_t m_outFirstFormVideo = 0;
    int64_t m_moviType = 0;
    uint32_t m_form = 0;
    OutputHeaders m_out;
};

#endif
