// The RealMedia repairer: reads the chunk tree and the data packets of every
// DATA chunk, cuts out what does not read as packets, and rebuilds the file
// with corrected counts and durations and a fresh index per stream.
#ifndef MENDCORE_RMVBREPAIR_H
#define MENDCORE_RMVBREPAIR_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tree/RmSchema.h"
#include "tree/TBaseRepair.h"

// One data packet accepted, in file order.
struct RmvbPacketInfo {
    int64_t start = 0;  // input offset of its header
    int64_t end = 0;    // just past it
    unsigned int stream = 0;
    uint32_t timestamp = 0;
    bool key = false;  // the header's key-frame flag
};

class CRMVBRepair : public TBaseRepair<unsigned int, unsigned int> {
public:
    explicit CRMVBRepair(IBaseStream* in);
    ~CRMVBRepair() override;

    void Close() override;

    // What the parse found, for inspection.
    const std::vector<RmvbPacketInfo>& Packets() const { return m_packets; }

protected:
    bool CheckFileFormat() override;
    int ReadIdAndSize(unsigned int& id, unsigned int& size) override;
    int CheckIdAndSizeValid(const unsigned int& id, const unsigned int& size) const override;
    int AddIDAndSize(unsigned int id, unsigned int size) override;
    int GetHeaderLength(unsigned int, unsigned int) const override { return 8; }
    int CheckParsed() override;
    // A DATA chunk's size is only a hint: its packets are read up to the
    // next chunk header whatever it says.
    bool SizeIsHint(unsigned int id) const override { return id == RM_ID_DATA; }
    int ParseLabelChild(unsigned int id, unsigned int size, int64_t start, Node*& node, const SNode* snode) override;
    // Damage between chunks (a refused DATA chunk, say) is passed over in
    // memory up to the next id of the schema.
    int HeaderReach() const override { return 8; }
    size_t FirstCandidate(const uint8_t* bytes, size_t n, size_t avail, int64_t at, uint64_t* steps) override;
    int RepairLevel1() override;
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }

private:
    struct Stream {
        std::string name;
        std::string mime;
        unsigned int fourcc = 0;  // a video stream's codec, else 0
        bool usable = true;       // its header describes it
        const Node* mdpr = nullptr;
    };
    struct DataChunk {
        Node* node = nullptr;
        size_t firstPacket = 0;  // into m_packets
        size_t packetCount = 0;
        std::vector<std::pair<int64_t, int64_t>> damaged;  // stretches cut out
    };
    struct PacketHeader {
        unsigned int version = 0;
        unsigned int length = 0;
        unsigned int stream = 0;
        uint32_t timestamp = 0;
        unsigned int flags = 0;
    };
    // Packet header fields at the position; false when fewer than 10 bytes
    // can be read there.
    bool ReadPacketHeader(int64_t at, PacketHeader& h);
    bool HeaderPasses(int64_t at, const PacketHeader& h, bool mustFit) const;
    // Whether the bytes from `at` to the end are a few zero bytes of padding
    // (what writers leave after the last packet).
    bool IsTailPadding(int64_t at);
    // Whether a chunk that may follow packets starts at `at`.
    int ChunkAt(int64_t at, bool* yes);
    // Whether what follows a packet or chunk that ends at `at` confirms it:
    // 1 yes, 0 no, negative an internal code. depth: packet headers still to
    // be read ahead.
    int FollowerConfirms(int64_t at, int depth);
    int IsDataPacket(int64_t at, PacketHeader& h, bool chained, bool* yes);
    // The first position at or after `from` where a packet or chunk could
    // start, or a negative internal code.
    int64_t NextCandidate(int64_t from);
    int ParseDataChunk(unsigned int size, int64_t start, Node*& node);
    // The size that holds for the chunk of `fixed` bytes (the file header,
    // the properties) whose header is at `at` when its size field is broken: up to where the next chunk begins after
    // the fixed fields. size is left as it is when none begins there.
    int MendFixedSize(int64_t at, int64_t fixed, unsigned int& size);
    // 1 when the content description's strings fill it, 0 when not, or a
    // negative code.
    int CheckContent(const Node* cont);
    int InitStreamMap();
    bool IsVideo(const Stream& s) const;
    // Whether the MDPR describes a stream that the packets were read by.
    bool UsableMdpr(const Node* n) const;
    uint32_t LastTimestamp(int stream) const;  // -1: every stream
    int WriteIndex(const std::vector<uint32_t>& outOffsets, std::vector<int64_t>* indexStarts);
    int PatchU32(int64_t at, uint32_t value);

    std::map<unsigned int, Stream> m_streams;
    std::vector<DataChunk> m_chunks;
    std::vector<RmvbPacketInfo> m_packets;
    bool m_propUsable = false;
    bool m_contUsable = false;
    // Set while a PROP size is being mended: the chunks read ahead there
    // are not mended in turn.
    bool m_mendingProp = false;
    std::vector<uint8_t> m_scan;
};

#endif
