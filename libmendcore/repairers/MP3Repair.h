// MPEG audio (MP3, and layers I and II): an optional ID3v2 tag, a run of
// audio frames, optional APEv2 and ID3v1 tags at the end. The analysis finds
// the sound frames of the tag and of the audio and every damaged run between
// them; the rebuild leaves the runs out, rewrites the ID3v2 size and brings
// the frame and byte counts of a Xing/Info header up to date.
#ifndef MENDCORE_MP3REPAIR_H
#define MENDCORE_MP3REPAIR_H

#include <stdint.h>

#include <vector>

#include "core/BaseRepair.h"
#include "core/Id3v2.h"

// One decoded MPEG audio frame header.
struct MpegFrameHeader {
    uint8_t version = 1;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1 (1 is reserved)
    uint8_t layer = 0;    // 1 Layer III, 2 Layer II, 3 Layer I
    uint8_t sampleRateIndex = 3;
    uint8_t channelMode = 0;  // 3 is mono
    int sampleRate = 0;
    int length = 0;  // bytes, header included
};

// False for anything that is not a usable frame header (free format and
// reserved values included).
bool DecodeMpegFrameHeader(const uint8_t b[4], MpegFrameHeader& h);

class CMP3Repair : public CBaseRepair {
public:
    explicit CMP3Repair(IBaseStream* in);
    ~CMP3Repair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override;
    int RepairLevel3(const char* refPath) override;

    // What the analysis found; for tests.
    int64_t FirstFrame() const { return m_firstFrame; }
    int64_t AudioEnd() const { return m_audioEnd; }
    uint32_t FrameCount() const { return m_frameCount; }
    bool HasXing() const { return m_xingOffset > 0; }
    const ByteRuns& Damaged() const { return m_bad; }

private:
    class CAudioBoundary;

    // The length of the frame at pos when its header is valid and matches
    // the stream's version, layer and sample rate; 0 otherwise.
    int FrameLengthAt(int64_t pos);
    // The frame at pos is taken when what follows it is another frame, a
    // trailing tag or the end. Resyncing after damage asks one frame more.
    // known is the frame's length when the walk read it already (0: not);
    // nextLength, when given, gets the length of the frame after it (0
    // when it was not read or is no frame).
    int AcceptFrame(int64_t pos, bool resync, int known = 0, int* nextLength = nullptr);
    // Length of an APEv2 or ID3v1 tag starting at pos, 0 when none.
    int64_t TrailingTagAt(int64_t pos);
    // Settles the stream's version, layer and sample rate from the first
    // place in [from, limit) where frames follow each other; -1 when none.
    int64_t FindFirstFrame(int64_t from, int64_t limit);
    int ReadTag();
    int WalkAudio();
    void FindTrailingTags(int64_t lastFrameEnd);
    void FindXing();
    int PatchXing(int64_t outFirst, int64_t removed);
    void MarkFrame(uint32_t index, int64_t pos);
    // Bytes of damage left out between the first frame and pos.
    int64_t RemovedBefore(int64_t pos) const;
    void RebuildToc(uint8_t* toc, int64_t bytes) const;

    bool m_refSet = false;
    MpegFrameHeader m_ref;
    bool m_hasId3 = false;
    Id3v2Header m_id3;
    int64_t m_tagEnd = 0;      // end of the ID3v2 tag, 0 without one
    bool m_tagSizeWrong = false;
    int64_t m_firstFrame = 0;
    int64_t m_audioEnd = 0;    // end of the last sound frame
    uint32_t m_frameCount = 0; // audio frames, the Xing/Info frame not counted
    int64_t m_budget = 0;
    ByteRuns m_bad;
    // The Xing/Info header: its offset in the first frame (0 none), its
    // flags, and the first bytes of that frame as read.
    int m_xingOffset = 0;
    uint32_t m_xingFlags = 0;
    bool m_lameCrcValid = false;
    std::vector<uint8_t> m_firstFrameBytes;
    // A VBRI header's offset in the first frame, 0 without one.
    int m_vbriOffset = 0;
    static constexpr int kVbriAt = 36;
    static constexpr int kVbriSize = 26;
    // Frame starts sampled every m_markStep frames, for the seek table.
    static constexpr size_t kMaxFrameMarks = 4096;
    std::vector<int64_t> m_frameMarks;
    uint32_t m_markStep = 1;
};

#endif
