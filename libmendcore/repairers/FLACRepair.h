// FLAC: STREAMINFO and the metadata chain, the frame walk that accepts a
// frame only when its header's CRC-8 and its own CRC-16 hold, and the
// rebuild that writes the confirmed blocks and frames with the counted
// total samples. No extension routes a file here: it is built directly.
#ifndef MENDCORE_FLACREPAIR_H
#define MENDCORE_FLACREPAIR_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "core/BaseRepair.h"
#include "core/DamagedRuns.h"
#include "core/LargePages.h"

class CFlacFrameCheck;

class CFLACRepair : public CBaseRepair {
public:
    // One confirmed metadata block.
    struct FlacBlock {
        uint8_t type = 0;
        uint32_t length = 0;  // 24 bits used
        int64_t pos = 0;      // the body, after the 4-byte header
    };
    // One frame whose CRC-16 holds: [start, end).
    struct FlacFrame {
        int64_t start = 0;
        int64_t end = 0;
        uint32_t blockSize = 0;
    };

    explicit CFLACRepair(IBaseStream* in);
    ~CFLACRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }

    bool CheckFormat();

    // What the walk found; for tests.
    const std::vector<FlacBlock>& Blocks() const { return m_blocks; }
    const LargeVector<FlacFrame>& Frames() const { return m_frames; }
    const std::vector<std::pair<int64_t, int64_t>>& BadRanges() const { return m_runs.Runs(); }
    uint64_t TotalSamples() const { return m_totalSamples; }
    uint64_t CountedSamples() const { return m_countedSamples; }

    // The frame header at b (avail bytes readable): true when every field
    // agrees with STREAMINFO and the CRC-8 holds; blockSize is then set.
    bool ParseFrameHeader(const uint8_t* b, size_t avail, uint32_t& blockSize) const;

    // A frame header's own fields, read without STREAMINFO.
    struct FrameFields {
        bool variable = false;   // variable block size (the sync's last bit)
        uint32_t blockSize = 0;
        uint32_t rate = 0;       // 0: STREAMINFO's
        uint8_t channels = 0;
        uint8_t bits = 0;        // 0: STREAMINFO's
    };
    // Sync, codes, coded number and CRC-8 of the header at b.
    static bool DecodeFrameHeader(const uint8_t* b, size_t avail, FrameFields& f);

private:
    enum StepResult { kAccepted = 0, kRejected = 1 };
    struct FirstFrame {
        bool found = false;
        bool followed = false;  // another frame's header follows it
        FrameFields fields;
        uint32_t size = 0;
    };

    int ProbeFirstFrame(int64_t from, FirstFrame& first);
    int MendStreamInfo(const FirstFrame& first);
    void FinishStreamInfo();
    void PackStreamInfo(uint8_t* s) const;

    int ParseStreamInfo();
    int ParseMetaData(int64_t& pos);
    bool BlockConfirmed(int64_t end, bool last);
    int64_t FirstFrameHeader(int64_t from);
    int WalkFrames(int64_t from);
    int LoadWindow(int64_t pos);
    int EndBeforeZeroTail(int64_t start, int64_t& end);
    int EndSpan(int64_t start, int64_t end, uint32_t crc, uint32_t blockSize);
    int FrameBeforeDamage(int64_t start, int64_t end, uint32_t blockSize, int64_t& frameEnd);
    int WriteStreamInfo(const FlacBlock& block, bool last);

    std::vector<FlacBlock> m_blocks;
    LargeVector<FlacFrame> m_frames;
    CDamagedRuns m_runs;
    uint16_t m_minBlockSize = 0;
    uint16_t m_maxBlockSize = 0;
    uint32_t m_sampleRate = 0;
    uint8_t m_channels = 0;
    uint8_t m_bitsPerSample = 0;
    uint64_t m_totalSamples = 0;
    uint16_t m_frameSync = 0;
    uint64_t m_countedSamples = 0;
    uint32_t m_maxFrameSize = 0;  // from STREAMINFO; 0: not known
    uint32_t m_minFrameSize = 0;
    // STREAMINFO with the fields mended so far; the rebuild writes them
    // when any was.
    uint8_t m_streamInfo[34] = {};
    bool m_streamInfoMended = false;
    // Sizes the first frame showed wrong, measured after the walk.
    bool m_mendMinBlock = false;
    bool m_mendMaxBlock = false;
    bool m_mendMinFrame = false;
    bool m_mendMaxFrame = false;
    // Made on first use: decodes a frame whose end must be proven.
    std::unique_ptr<CFlacFrameCheck> m_frameCheck;
    // The frame walk's window over the input.
};

#endif
