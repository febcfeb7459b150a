// ASF, WMV and WMA: the walk over the top-level objects and the Header
// Object's children, the check of every data packet and its payloads against
// the layout the header announces, and the rebuild that writes the header
// again, one new data packet per sound packet and corrected file properties.
#ifndef MENDCORE_ASFREPAIR_H
#define MENDCORE_ASFREPAIR_H

#include <stdint.h>

#include <vector>

#include "core/BaseRepair.h"
#include "core/LargePages.h"

// An ASF GUID as it lies in the file: its first three fields little-endian.
struct AsfGuid {
    uint8_t b[16];
};

class CASFRepair : public CBaseRepair {
public:
    explicit CASFRepair(IBaseStream* in);
    ~CASFRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }

    // The macro of a known GUID, kMacroUnknown for any other. Macros 1 to 6
    // are top-level objects, 7 to 30 Header Object children, 31 to 50
    // Header Extension children, 51 and up types of streams, error
    // correction, exclusion, bandwidth sharing and payload extensions.
    static constexpr int kMacroUnknown = 80;
    static int Guid2Macro(const AsfGuid& guid);
    static int Guid2Level(const AsfGuid& guid);
    static bool CompareGuid(const AsfGuid* a, const AsfGuid* b);
    // The row of a macro, null when none; for tests.
    static const AsfGuid* GuidOfMacro(int macro);

    // One payload: input bytes [start, end), from its Stream Number byte to
    // the end of its data (a multiple-payload packet's payloads keep their
    // Payload Length field).
    struct PayloadInfo {
        int64_t start;
        int64_t end;
    };
    // One sound data packet; its payloads are PayloadCount entries of the
    // payload list from FirstPayload on. A record of count > 1 stands for a
    // run of packets that the rebuild copies as they stand (verbatim, of
    // the fixed size, back to back in one Data Object): its payloads are
    // the first packet's, and its send time and duration those of the
    // packet that ends latest. A recording costs a record per run, not
    // per packet; the rare rebuild that must write such packets one by
    // one reads them again.
    struct PacketInfo {
        int64_t start = 0;
        int64_t end = 0;
        uint32_t firstPayload = 0;
        uint32_t payloadCount = 0;
        uint32_t sendTime = 0;   // milliseconds
        uint16_t duration = 0;   // milliseconds
        uint8_t lengthTypeFlags = 0;
        bool multiple = false;
        bool errorCorrection = false;  // two bytes of error correction data, both 0
        bool verbatim = false;         // written again byte for byte
        uint32_t count = 1;            // packets the record stands for
    };
    // The packets one by one, runs read again from the input; for tests.
    class PacketList {
    public:
        explicit PacketList(CASFRepair* repair) : m_repair(repair) {}
        size_t size() const { return static_cast<size_t>(m_repair->m_packetTotal); }
        PacketInfo operator[](size_t i) const { return m_repair->PacketAt(i); }

    private:
        CASFRepair* m_repair;
    };
    struct StreamInfo {
        uint8_t number = 0;              // 1 to 127
        uint32_t maxObjectSize = 0;      // 0 = unknown
        uint16_t extensionSize = 0;      // replicated bytes beyond 8; 0xFFFF = unknown or variable
    };

    // What the analysis found; for tests.
    PacketList Packets() const { return PacketList(const_cast<CASFRepair*>(this)); }
    // Records the analysis keeps for the packets (runs count once).
    size_t PacketRecords() const { return m_packets.size(); }
    const LargeVector<PayloadInfo>& Payloads() const { return m_payloads; }
    const std::vector<StreamInfo>& Streams() const { return m_streams; }
    uint32_t PacketSize() const { return m_packetSize; }
    uint64_t SendDuration() const { return m_sendDuration; }
    size_t InvalidRanges() const { return m_invalid.size(); }

private:
    struct ObjectHeader {
        AsfGuid guid;
        uint64_t size = 0;
        int64_t start = 0;
        bool endMark = false;  // fewer than 24 bytes before the limit
    };
    // A field of the copied Header Object that the rebuild writes again:
    // its offset from the header's start, its width and new value.
    struct HeaderPatch {
        int64_t offset;
        int bytes;
        uint64_t value;
    };

    // What a Header Object sets, kept while a later one is parsed.
    struct HeaderState {
        bool haveHeader;
        int64_t headerStart, headerEnd, filePropertiesOffset;
        AsfGuid fileId;
        uint32_t packetSize;
        uint64_t sendDuration, preroll, declaredPackets;
        uint32_t flags;
        std::vector<StreamInfo> streams;
        std::vector<HeaderPatch> patches;
    };
    HeaderState SaveHeader() const;
    void RestoreHeader(HeaderState&& h);

    // Object layer.
    int ReadObjectGuidAndSize(ObjectHeader& h, int64_t limit);
    // The next child of a list that ends at end, each step counted against
    // the budget: 1 when no child header fits before end, else 0 or a
    // failure.
    int NextChild(ObjectHeader& child, int64_t end);
    int ParseObject();
    int ParseHeaderObject(const ObjectHeader& declaredHeader);
    // Sets a broken Header Object size to the one its children give, for
    // the copy too, and records it; leaves the input at the object's body.
    int MendHeaderSize(ObjectHeader& h);
    // The end of a child whose size is broken: where the next object that
    // may stand beside it starts (level 2 in the header, 3 in its
    // extension), else the parent's end.
    int FindChildEnd(const ObjectHeader& child, int64_t parentEnd, int level, int64_t& end);
    // Sets a broken child size to the one that holds (FindChildEnd), for
    // the header's copy too, records it and leaves the input at the child's
    // body. headerStart: the Header Object's start.
    int MendChildSize(ObjectHeader& child, int64_t parentEnd, int level, int64_t headerStart);
    // Whether an object that may stand at level starts at x and fits
    // before parentEnd; a negative code when the input cannot be read.
    int ObjectFitsAt(int64_t x, int64_t parentEnd, int level, bool& fits);
    int ParseDataObject(const ObjectHeader& h);
    int ParseNormalObject(const ObjectHeader& h);
    int ParseFilePropertiesObject(const ObjectHeader& h, int64_t headerStart);
    int ParseStreamPropertiesObject(const ObjectHeader& h, int64_t headerStart);
    int TypeSpecificDataSound(int64_t at, uint32_t length, uint32_t correctionLength, int typeMacro,
                              int64_t headerStart, bool& sound);
    // Records a field of the header that is written again in the copy.
    void MendHeaderField(int64_t at, int bytes, uint64_t value, int64_t headerStart);
    // Parses the extension and mends its sizes; h.size is set to the size
    // that holds.
    int ParseHeaderExtObject(ObjectHeader& h, int64_t headerStart, int64_t headerEnd);
    int ParseExtStreamPropertiesObject(const ObjectHeader& h);
    int ReadGuidAt(int64_t at, AsfGuid& guid, bool& got);
    void AddStream(uint8_t number, uint32_t maxObjectSize, uint16_t extensionSize, bool extended);
    const StreamInfo* FindStream(uint8_t number) const;
    void CheckDeclaredCounts();
    void CheckDuration();

    // Damaged runs.
    void OpenRun(int64_t at);
    void CloseRun(int64_t at);
    void AddRange(int64_t start, int64_t end);
    bool Spend(int64_t steps);
    // The first position at or after from where a top-level object (or,
    // with packets, a data packet) can start; the file length when none.
    int NextCandidate(int64_t from, bool packets, int64_t& next);

    // Data packets.
    // The bytes of one packet in memory: n of its fixed size were there.
    struct PacketView {
        const uint8_t* b = nullptr;
        int64_t start = 0;
        int64_t n = 0;
        int64_t fixed = 0;
        int Need(int64_t i, int64_t size) const;
    };
    int ParsePayload();
    int ParsePacketView(const PacketView& v, PacketInfo& packet);
    // Keeps a packet just parsed: joined to the run record before it where
    // it goes on that run, else as a record of its own.
    void KeepPacket(const PacketInfo& packet);
    // The packet at `at` of a run, parsed again with its payloads appended
    // to the payload list; 0, or nonzero when it no longer parses.
    int ReparsePacket(int64_t at, PacketInfo& packet);
    PacketInfo PacketAt(size_t i);
    int ParseSinglePayload(const PacketView& v, PacketInfo& packet, int64_t s, int64_t payloadEnd);
    int ParseMultiplePayloads(const PacketView& v, PacketInfo& packet, int64_t at, int64_t payloadEnd);
    int ParseMultiPayload(const PacketView& v, const PacketInfo& packet, int64_t s, int64_t payloadEnd, int64_t& e);
    int ParsePayloadHeader(const PacketView& v, const PacketInfo& packet, int64_t s, int64_t limit, int64_t& next);

    // Rebuild.
    int WriteHeaderObject();
    int WriteDataObject();
    int WritePacket(const PacketInfo& packet, bool& written);
    uint64_t PayloadBytes(const PacketInfo& packet) const;
    int WriteSinglePayload(const PayloadInfo& payload);
    int WriteMultiplePayloads(const PacketInfo& packet);
    int CorrectFileProperties();
    int PatchOutput(int64_t at, const void* value, unsigned int n);

    bool m_clean = true;
    int64_t m_runStart = 0;
    int64_t m_budget = 0;
    bool m_haveHeader = false;
    int64_t m_headerStart = 0;
    int64_t m_headerEnd = 0;
    int64_t m_filePropertiesOffset = -1;
    AsfGuid m_fileId{};
    uint32_t m_packetSize = 0;
    uint64_t m_sendDuration = 0;  // 100-nanosecond units
    uint64_t m_preroll = 0;       // milliseconds
    uint64_t m_declaredPackets = 0;
    uint32_t m_flags = 0;
    uint64_t m_dataPacketsDeclared = 0;
    uint64_t m_dataSizeDeclared = 0;
    uint64_t m_dataPacketsFound = 0;
    int64_t m_dataStart = -1;
    std::vector<StreamInfo> m_streams;
    std::vector<std::pair<int64_t, int64_t>> m_invalid;
    LargeVector<PacketInfo> m_packets;
    uint64_t m_packetTotal = 0;  // packets the records stand for
    size_t m_runsFrom = 0;       // records of the Data Object being parsed start here
    LargeVector<PayloadInfo> m_payloads;
    std::vector<HeaderPatch> m_patches;
    uint64_t m_packetsWritten = 0;
    bool m_errorCorrection = true;
    std::vector<uint8_t> m_scanBlock;
    // Packets of up to a window's size are checked in the window; larger
    // ones are read whole into m_packet.
    std::vector<uint8_t> m_packet;
};

#endif
