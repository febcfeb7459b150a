// FLV: the tag walk that accepts a tag only when its header, its data's
// first bytes, its PreviousTagSize and the next tag agree, the timestamp
// repair, and the rebuild that writes every accepted tag with its new
// timestamp and the script tag with a new duration and keyframes index.
#ifndef MENDCORE_FLVREPAIR_H
#define MENDCORE_FLVREPAIR_H

#include <stdint.h>

#include <vector>

#include "core/BaseRepair.h"

enum FlvTagType : uint8_t {
    FLV_TAG_AUDIO = 8,
    FLV_TAG_VIDEO = 9,
    FLV_TAG_SCRIPT = 18,
};

// One accepted tag.
struct FlvTagInfo {
    int64_t start = 0;       // the type byte
    int64_t end = 0;         // just after the data; PreviousTagSize follows
    uint32_t timestamp = 0;  // milliseconds, repaired by ChangeTimeStamps
    int32_t composition = 0; // AVC composition time offset, milliseconds
    int32_t script = -1;     // index into the script list, for script tags
    uint8_t type = 0;
    uint8_t codec = 0;       // the sound format or the video codec id
    bool keyframe = false;   // a video frame a player may seek to
    // The decoder set-up of its stream: an AVC sequence header or an AAC
    // AudioSpecificConfig.
    bool config = false;
    // A frame that cannot be decoded without such a set-up before it.
    bool needsConfig = false;
    int32_t made = -1;       // the data the rebuild writes itself, if any
    // Its bytes, PreviousTagSize included, can be copied as they are: the
    // size after it holds and its timestamp was not moved.
    bool asIs = false;
    uint8_t flags = 0;       // the first data byte (an audio tag's sound flags)
    int16_t newFlags = -1;   // the first data byte the rebuild writes instead
};

// What the AMF0 walk found in one script tag's data. Offsets count from the
// start of the data, -1 when absent; each script tag carries its own, so a
// second script tag or a false candidate never moves another's patch.
struct FlvScriptInfo {
    bool valid = false;       // the data is a complete AMF0 name and value
    bool metadata = false;    // "onMetaData": the tag we patch
    int64_t durationAt = -1;  // the 8-byte value of "duration"
    int64_t filesizeAt = -1;  // the 8-byte value of "filesize"
    int64_t keyframesFrom = -1;  // the "keyframes" value, marker included
    int64_t keyframesTo = -1;
    double duration = 0;
    double filesize = 0;
};

class CFLVRepair : public CBaseRepair {
public:
    explicit CFLVRepair(IBaseStream* in);
    ~CFLVRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }

    // Results of ReadFlvTag.
    enum TagResult { TAG_ACCEPTED = 0, TAG_BAD = 1, TAG_END = 2 };

    // What the walk found; for tests.
    const std::vector<FlvTagInfo>& Tags() const { return m_tags; }
    const std::vector<FlvScriptInfo>& Scripts() const { return m_scripts; }
    double Duration() const { return m_duration; }

    // The AMF0 walk over one script tag's data; no recursion, bounded by n.
    static FlvScriptInfo ScanScript(const uint8_t* data, size_t n);

private:
    struct TagHeader {
        uint8_t type = 0;
        uint32_t dataSize = 0;
        uint32_t timestamp = 0;
        int32_t composition = 0;
        uint8_t codec = 0;
        bool keyframe = false;
        bool config = false;
        bool needsConfig = false;
        uint8_t flags = 0;
    };

    bool CheckFlvHeader();
    // Reads the tag at pos: TAG_ACCEPTED (next is the position after its
    // PreviousTagSize), TAG_BAD, TAG_END, or -5. chained: pos is where the
    // tag before it said the next one starts.
    int ReadFlvTag(int64_t pos, bool chained, int64_t& next);
    // Reads and judges the 11-byte header and the data's first bytes at
    // pos: the type, StreamID 0, and the audio, video or script data's
    // first fields. Leaves the position undefined.
    // anySize: the data's first bytes are read whatever its size says.
    bool CheckTagHeader(int64_t pos, TagHeader& h, bool anySize = false);
    FlvTagInfo MakeTag(int64_t pos, int64_t end, const TagHeader& h) const;
    // A tag reached through the chain whose header holds but for its size:
    // its end is where a PreviousTagSize that counts from it stands before
    // a tag that holds (or the end of the input), within 1 MiB. Accepts
    // the tag and sets next; false when no such end is near.
    bool MendTagSize(int64_t pos, int64_t& next);
    // AAC tags whose sound flags differ from those the stream's other tags
    // all carry: players take a change of them for a change of format.
    void MendAacFlags();
    // The sampling rate of each AAC set-up against the pace of the frames
    // after it (1024 samples each, or 960 where the set-up says so); one
    // that disagrees is mended to the rate the pace gives.
    int CheckAacConfigs();
    // Whether the bytes at pos continue the tag chain: a valid next tag
    // whose PreviousTagSize holds, or that ends the file, or is cut by it.
    // Unless strict, a valid tag after it stands in for its PreviousTagSize.
    bool NextTagAgrees(int64_t pos, bool strict);
    bool ReadU32At(int64_t pos, uint32_t& value);
    // Whether tags whose PreviousTagSizes hold follow each other from pos:
    // what makes a file with a damaged header FLV all the same.
    bool TagsChainFrom(int64_t pos);
    // Whether such a chain starts at the first tag's place or within the
    // first few hundred KiB after it: 1 when it does, 0 when not, or
    // MEND_ERR_ABORTED.
    int ChainNearStart();
    // The first position from `from` on whose bytes may start a tag; the
    // input's length when none; MEND_ERR_READ or MEND_ERR_ABORTED.
    int64_t NextTagStart(int64_t from);
    int ReadScripts();
    // Leaves out the frames whose stream's set-up the damage destroyed, up
    // to a set-up that survives or one made from the AVC parameter sets a
    // key frame carries; records each such loss.
    int PlanSetUp();
    // Judges each AVC sequence header by its fields and the frames after
    // it; mends or rebuilds a bent one, leaves out one with nothing to
    // rebuild it from; records each.
    int CheckAvcConfigs();
    // The NAL length sizes (bit n for n bytes) that fill the first few AVC
    // frames from tag `from` on exactly; every bit when none was tried; -5
    // on a read error.
    int NalLengthSizes(size_t from);
    // The first of a few AVC key frames in [from, to) that carries its
    // sequence and picture parameter sets: its index, or `to` when none
    // does, with a sequence header tag's data made from them; -5 on a read
    // error, -3 on an abort.
    int64_t FindInBandSetUp(size_t from, size_t to, std::vector<uint8_t>& data);
    uint32_t GetPreTimeStampOffset() const;
    bool ChangeTimeStamps(uint32_t interval);
    double GetDuration(uint32_t interval) const;
    bool DurationIsWrong(double estimate) const;

    // Rebuild.
    int64_t ScriptSize(const FlvTagInfo& tag, uint32_t keyframes) const;
    int WriteTag(const FlvTagInfo& tag, uint32_t dataSize);
    int WriteMade(const FlvTagInfo& tag);
    int WriteScript(const FlvTagInfo& tag, uint32_t dataSize, const std::vector<int64_t>& positions,
                    const std::vector<uint32_t>& times, int64_t fileSize);

    std::vector<FlvTagInfo> m_tags;
    std::vector<FlvScriptInfo> m_scripts;
    std::vector<std::vector<uint8_t>> m_made;  // data of the tags the rebuild makes
    double m_duration = 0;
    bool m_damaged = false;
    int64_t m_mendBudget = 0;          // bytes MendTagSize may still read
};

#endif
