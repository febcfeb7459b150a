// MPEG system streams: the MPEG-1 system stream, the MPEG-2 program stream
// and the MPEG-2 transport stream (188-, 192- and 204-byte packets).
//
// Detection settles the sub-format from the first bytes. The transport
// walk keeps every packet whose header, adaptation field and payload start
// hold; the rebuild writes them back to back, leaving out the packets of a
// PES unit broken by damage. The program-stream walk (one engine for both
// MPEG-1 and MPEG-2, their differences in PSTraits) records packs, system
// headers and PES packets; the rebuild writes a fresh pack header per pack,
// copies the units and rewrites timestamps that start over.
#ifndef MENDCORE_MPEGREPAIR_H
#define MENDCORE_MPEGREPAIR_H

#include <stdint.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "core/BaseRepair.h"
#include "core/SpillList.h"
#include "core/TimestampRebase.h"

class CMPEGRepair : public CBaseRepair {
public:
    enum SubFormat : uint32_t { kNoSubFormat = 0, kMpeg1Ps = 1, kMpeg2Ps = 2, kMpeg2Ts = 3 };
    // What a unit parser makes of the bytes at its position.
    enum StepResult : int {
        kStepUnit = 0,
        kStepEnd = 1,
        kStepInvalid = 2,
        kStepCutShort = 3,  // a PES header that holds, with an end that leads nowhere
    };

    // Where the two program-stream layouts differ.
    struct PSTraits {
        SubFormat subFormat;
        bool mpeg1;                  // 12-byte pack header, ISO 11172 packet headers
        uint32_t packHeaderBytes;    // as written: 12 or 14
        int64_t clockPerTick;        // SCR units per 90 kHz tick: 1 or 300
        uint8_t reservedByteMask;    // system header reserved bits that must be 1
        int64_t forwardJump;         // 90 kHz ticks a stream may leap ahead
        bool cdSectors;              // raw CD-ROM sector framing between packs
    };
    static const PSTraits kMpeg1Traits;
    static const PSTraits kMpeg2Traits;

    explicit CMPEGRepair(IBaseStream* in);
    ~CMPEGRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }

    bool CheckFormat();

    // What detection and the walk found; for tests.
    SubFormat GetSubFormat() const { return m_subFormat; }
    int64_t FirstUnitOffset() const { return m_firstUnit; }
    uint32_t TSPacketLength() const { return m_tsLength; }
    size_t ProgramStreamUnits() const { return m_units.size(); }
    size_t UnitRecordBytesHeld() const { return m_units.HeldBytes(); }

private:
    // --- transport stream -------------------------------------------------
    struct TSRun {
        int64_t start;   // first byte of the first packet
        int64_t count;   // packets back to back from there
    };
    enum PidKind : uint8_t { kPidUnknown = 0, kPidPes = 1, kPidSection = 2 };
    struct PidState {
        PidKind kind = kPidUnknown;
        // Set by damage: continuation packets are dropped until the next
        // unit start, since the unit they belong to is incomplete.
        bool broken = false;
        // Damage lay after the PID's last packet: its next packet's
        // continuity counter tells whether any of its packets were lost
        // (lostMany: too many bytes lost for the counter to tell).
        bool suspect = false;
        bool lostMany = false;
        int lastCC = -1;
        int64_t unitLeft = -1;  // bytes of the open PES packet still due, -1 unknown
        // The PID's last packet ended in stuffing, as the last packet of a
        // PES unit does; a unit of unstated length whose last packet was
        // full when the input ends was cut.
        bool lastStuffed = false;
        // The last packet had a zero-length adaptation field: one byte of
        // stuffing, which only the last packet of a unit needs.
        bool lastEmptyField = false;
        // Until a unit marked as a random access point, the packets after
        // a lost unit (or before the first unit) are held in pending, and
        // left out once that point comes. usesKeys: the muxer marks them.
        bool waitKey = true;
        bool usesKeys = false;
        // The unit in progress is a random access point, and one such unit
        // came through whole: the decoder has its set-up, so a later loss
        // costs only the frames it reached.
        bool keyOpen = false;
        bool setUp = false;
        // The decoding time of the unit in progress (-1 none), and the
        // shortest step between two units so far (0 none yet).
        int64_t openTime = -1;
        int64_t timeStep = 0;
        uint8_t streamId = 0;     // of its PES packets, 0 not known yet
        // The PES header of the unit in progress (its packet and where the
        // PES packet begins in it), the bytes of the unit so far and its
        // stated size (-1 unstated); lengthWrong: more bytes came than it
        // states, with no sign of damage elsewhere.
        int64_t unitHead = -1;
        int pesAt = 0;
        int64_t unitBytes = 0;
        int64_t stated = -1;
        bool lengthWrong = false;
        std::vector<int64_t> openUnit;  // packets of the unit in progress
        std::vector<int64_t> pending;
    };
    // The PIDs met so far, each found by its number in one step.
    class PidTable {
    public:
        PidTable() : m_index(8192, -1) {}
        const PidState* Find(uint16_t pid) const
        {
            const int32_t i = m_index[pid & 0x1FFF];
            return i < 0 ? nullptr : &m_states[i];
        }
        PidState& Get(uint16_t pid)
        {
            int32_t& i = m_index[pid & 0x1FFF];
            if (i < 0) {
                i = static_cast<int32_t>(m_states.size());
                m_states.emplace_back();
            }
            return m_states[i];
        }
        std::deque<PidState>& States() { return m_states; }
        void Clear()
        {
            std::fill(m_index.begin(), m_index.end(), -1);
            std::deque<PidState>().swap(m_states);
        }

    private:
        std::vector<int32_t> m_index;
        std::deque<PidState> m_states;  // in the order they were met
    };
    struct TSPacket {
        uint16_t pid = 0;
        bool unitStart = false;
        bool hasPayload = false;
        bool discontinuity = false;
        bool randomAccess = false;
        bool stuffed = false;     // the adaptation field ends in stuffing
        bool emptyField = false;  // adaptation_field_length 0
        int cc = 0;
        int payload = 0;      // offset of the payload in the packet
        int pcr = -1;         // offset of the PCR field, -1 none
        int pts = -1;         // offset of the PTS field, -1 none
        int dts = -1;
        bool pes = false;     // a unit start that begins a PES packet
    };
    // The continuity counters of the rebuilt stream. Where packets of a PID
    // were left out, its later packets are renumbered so that the count
    // runs on: a demuxer marks the unit in progress at a break as corrupt,
    // however whole the units kept are.
    class TSContinuity {
    public:
        TSContinuity() : m_out(8192, -1), m_in(8192, -1) {}
        // The counter the packet carries in the output.
        int Next(uint16_t pid, int cc, bool payload);

    private:
        std::vector<int8_t> m_out;  // last counter written per PID, -1 none
        std::vector<int8_t> m_in;   // last counter read per PID
    };

    bool ISMPEG2TS();
    int GetTSPackLength();
    int ParseMPEG2TS();
    int ParseMPEG2TSPack(int64_t unit, int64_t gap);
    int ParseMPEG2TSAdaptationField(const uint8_t* pkt, TSPacket& info) const;
    int ParseTSDataHeader(const uint8_t* pkt, TSPacket& info) const;
    int DecodeTSPacket(const uint8_t* pkt, TSPacket& info) const;
    bool FieldLengthLooksDamaged(const uint8_t* pkt, const TSPacket& info) const;
    bool RepairedPacketFits(const TSPacket& info) const;
    bool RebuildPesHeader(int64_t unit, const uint8_t* pkt, TSPacket& info);
    void MendProgramMap(int64_t unit, const uint8_t* pkt, const TSPacket& info);
    void FinishTSUnit(PidState& st);
    void RecordTSPacket(int64_t unit, const TSPacket& info, const uint8_t* pkt);
    // The steps of one packet's record: whether damage before it cost its
    // PID's unit packets, the unit it opens, what it adds to the open unit
    // (false when the unit goes), and the run it joins in the copy.
    void JudgeTSGap(PidState& st, const TSPacket& info, const uint8_t* pkt);
    void OpenTSUnit(PidState& st, int64_t unit, const TSPacket& info, const uint8_t* pkt);
    bool AddToTSUnit(PidState& st, int64_t unit, const TSPacket& info, const uint8_t* pkt);
    void KeepTSPacket(int64_t unit, const TSPacket& info, const uint8_t* pkt);
    void MarkTSGap(int64_t bytes);
    void BreakTSUnit(PidState& st, bool atUnitStart);
    static bool UnitComplete(const PidState& st);
    bool EndsInsideUnits();
    int RepairLevel1MPEG2TS();
    int WriteTSPackets(int64_t from, int64_t count, TSContinuity& counters);
    int TSSyncOffset() const { return m_tsLength == 192 ? 4 : 0; }

    // --- program streams --------------------------------------------------
    enum UnitFlags : uint8_t { kUnitNewPack = 1, kUnitSystemHeader = 2, kUnitDropped = 4,
                              // Damage cut a frame of the stream: only the bytes before
                              // the frame that starts in this packet are written, or only
                              // the bytes from it on.
                              kUnitKeepHead = 8, kUnitSkipHead = 16,
                              // PES_packet_length is written anew from the size.
                              kUnitLengthFixed = 32,
                              // Only the bytes from the video set-up in the packet on
                              // are written: the frames before it cannot be decoded.
                              kUnitFromSetup = 64,
                              // PES_header_data_length is written anew from the fields
                              // the header's flags announce and the stuffing after them.
                              kUnitHeaderFixed = 128 };
    struct FrameTrack {
        int64_t openFrom = -1;  // index of the unit with the frame's timestamp
        int64_t previousFrom = -1;  // the same for the frame before, -1 none
        int64_t last = -1;      // index of the stream's last unit
        bool broken = false;    // left out until the next timestamp
        // Damage came after the stream's last unit; its next unit tells
        // whether the damage took any of the stream's bytes.
        bool suspect = false;
        // MPEG audio: the second and third header bytes that every frame of
        // the stream shares (version, layer; sample rate); 0 not known.
        // Video: kind1 is the codec, 0 not known yet.
        uint8_t kind1 = 0;
        uint8_t kind2 = 0;
        // Video: the index of the unit whose frame brings the set-up the
        // stream's frames are decoded with (a sequence header or parameter
        // sets). -1 until one comes, and again where damage took that frame:
        // the stream's packets are left out until the next. kSetupUnknown for
        // a codec whose set-up the walk cannot tell.
        int64_t setupFrom = -1;
        // Video: damage began inside the open packet, and perhaps before
        // its frame start: the head that would end the frame before may
        // hold it, and that frame goes whole too.
        bool headSuspect = false;
    };
    static constexpr int64_t kSetupUnknown = std::numeric_limits<int64_t>::max();
    struct PSUnit {
        int64_t start;
        int64_t pts;        // -1 none
        int64_t dts;        // -1 none
        uint32_t size;      // bytes from the start code to the unit's end
        uint16_t tsOffset;  // where the first timestamp field lies in it
        uint16_t payloadOffset;
        uint8_t streamId;
        uint8_t flags;
        // The first unit after a pack header: how far before it the header
        // lies (0 none), its size, and its SCR in the sub-format's clock
        // (-1 where its mux rate is 0: a header not to be kept).
        uint16_t packBack = 0;
        uint8_t packSize = 0;
        int64_t packScr = -1;
    };
    struct PSPackHeader {
        int64_t scr = 0;
        uint32_t muxRate = 0;
        uint32_t size = 0;
    };

    bool IsProgramStream(const PSTraits& traits, bool fromPes);
    int ParseProgramStream(const PSTraits& traits);
    int ParsePackHeader(const PSTraits& traits, const uint8_t* d, int64_t avail, PSPackHeader& out) const;
    int ParseSystemHeader(const PSTraits& traits, const uint8_t* d, int64_t avail, uint32_t& size) const;
    int ParsePESHeader(const PSTraits& traits, const uint8_t* d, int64_t avail, int64_t size, PSUnit& unit) const;
    int ParseMPEG1PacketHeader(const uint8_t* d, int64_t avail, PSUnit& unit) const;
    int ParseMPEG2PacketHeader(const uint8_t* d, int64_t avail, PSUnit& unit) const;
    int MendMPEG2HeaderLength(const uint8_t* d, int64_t avail, PSUnit& unit) const;
    int ParsePSUnit(const PSTraits& traits, int64_t p, PSUnit& unit, PSPackHeader& pack, bool& isPack);
    bool NextUnitFollows(const PSTraits& traits, int64_t end);
    int64_t RepairedUnitEnd(const PSTraits& traits, const PSUnit& unit);
    int64_t NextUnitStart(const PSTraits& traits, int64_t from, bool* sector);
    int HeadEndsFrame(const PSUnit& unit);
    int HeadBeforeDamage(const PSUnit& unit);
    void TrackFrame(PSUnit& unit, size_t index);
    void NoteAudioKind(const PSUnit& unit, FrameTrack& track);
    bool AwaitVideoSetup(PSUnit& unit, size_t index, FrameTrack& track);
    void BreakOpenFrames(bool atEnd = false);
    int64_t ResyncAfterDamage(int64_t pos);
    void BreakStream(uint8_t id, FrameTrack& track);
    bool FramesRunOn(const PSUnit& unit, const FrameTrack& track);
    bool GatherStreamBytes(uint8_t id, int64_t from, int64_t last, size_t cap);
    static constexpr int64_t kSplitHeader = -2;
    int64_t AudioBytesDue(uint8_t id, int64_t start = -1) const;
    int OpenFrameWhole(uint8_t id, const FrameTrack& track);
    void CheckEndOfInput();
    void NoteSequenceSizes(const PSUnit& unit);
    void MendSequenceSizes();
    int WriteInput(int64_t at, const uint8_t* d, int64_t n);
    int RepairLevel1ProgramStream(const PSTraits& traits);
    int WritePackHeader(const PSTraits& traits, int64_t scr);
    // A unit written anew: trimmed, with its length field set, or its
    // timestamps moved by offset (units that stand as they are are copied
    // in runs instead).
    int WritePSUnit(const PSUnit& unit, int64_t offset, size_t index);
    int CopyInput(int64_t from, int64_t to);
    int WriteTrimmedPSUnit(const PSUnit& unit, int64_t offset, size_t index);
    int64_t ConfirmedAudioStart(size_t index, uint8_t kind1, uint8_t kind2);
    static constexpr int64_t kGridUnknown = -1;
    static constexpr int64_t kGridCut = -3;
    int64_t FollowedAudioStart(size_t index, uint8_t kind1, uint8_t kind2);
    uint32_t MeasuredMuxRate() const;
    const PSTraits& Traits() const { return m_subFormat == kMpeg1Ps ? kMpeg1Traits : kMpeg2Traits; }

    // --- shared -----------------------------------------------------------
    // Reads up to n bytes at pos into m_window; the count read, or -5.
    int64_t Peek(int64_t pos, int64_t n);
    // Up to n bytes at pos (n at most 1 MiB) at m_view, valid until the
    // next call; the count, or -5.
    int64_t View(int64_t pos, int64_t n);
    // The next position from `from` where a start code prefix (00 00 01)
    // begins, or the input length; negative on a read error or abort.
    int64_t FindStartCode(int64_t from);
    int64_t FindSyncByte(int64_t from);
    template <typename Match>
    int64_t FindForward(int64_t from, int64_t tail, Match match);

    int64_t m_firstUnit = 0;
    SubFormat m_subFormat = kNoSubFormat;
    bool m_damaged = false;
    bool m_abortSeen = false;  // detection met the abort flag
    std::vector<uint8_t> m_window;
    std::vector<uint8_t> m_scan;
    const uint8_t* m_view = nullptr;
    std::unique_ptr<CTimestampRebase> m_rebase;

    // Transport stream.
    uint32_t m_tsLength = 0;
    std::vector<TSRun> m_tsRuns;
    std::vector<int64_t> m_tsDropped;  // sorted once the walk ends
    std::vector<int8_t> m_tsCounters;  // the rebuild's counters of one block
    // Bytes of packets written anew (an adaptation_field_length, a PES
    // header's flags, header length or packet length): the packet's
    // position, the byte's offset from its sync byte, the value. Sorted by
    // position once the walk ends.
    struct TSFix {
        int64_t at;
        uint8_t offset;
        uint8_t value;
    };
    std::vector<TSFix> m_tsFixes;
    uint8_t m_tsFixed[188] = {};
    int64_t m_lastPcr = -1;  // 90 kHz base of the last PCR read
    bool m_tsTableMended = false;  // a program map's lengths were written anew
    PidTable m_pids;

    // Program streams. A recording holds millions of units: their records
    // wait in a temporary file while the walk and the rebuild are past them.
    SpillList<PSUnit> m_units;
    std::map<uint8_t, FrameTrack> m_frames;
    std::vector<uint8_t> m_frameBytes;
    // Three bytes of the input and what the copy holds there instead:
    // MPEG-1/2 video's picture size, the 24 bits after a sequence header's
    // start code. m_sequenceSizes: each such field as the input states it,
    // with its stream; m_patches: those written anew, sorted by position.
    struct SizeField {
        int64_t at;
        uint8_t bytes[3];
        uint8_t streamId;
    };
    std::vector<SizeField> m_sequenceSizes;
    std::vector<SizeField> m_patches;
    uint32_t m_muxRate = 0;
    int64_t m_unitBytes = 0;
    int64_t m_minTime = -1;
    int64_t m_maxTime = -1;
};

#endif
