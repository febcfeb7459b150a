// The repairer of Matroska and WebM files: EBML headers over the element
// tree base, the format test, the Cluster and Segment rules of the parse,
// the duration check and the rebuild with a fresh SeekHead.
#ifndef MENDCORE_MKVREPAIR_H
#define MENDCORE_MKVREPAIR_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "tree/MkvSchema.h"
#include "tree/TBaseRepair.h"

class CMKVRepair : public TBaseRepair<unsigned int, long long> {
public:
    explicit CMKVRepair(IBaseStream* in);
    ~CMKVRepair() override;

    void Close() override;

    // The end of the content in the Segment's timecode units, as the last
    // parse found it; 0 before.
    uint64_t EstimatedDuration() const { return m_estimatedDuration; }

    // Widths of a written header: -8 for an id or size that cannot be
    // written (the reserved all-ones size value of each width is never
    // written).
    static int GetIdLen(unsigned int id);
    static int GetSizeLen(long long size);

protected:
    bool CheckFileFormat() override;
    int ReadIdAndSize(unsigned int& id, long long& size) override;
    int CheckIdAndSizeValid(const unsigned int& id, const long long& size) const override;
    // The sizes an element of this id may declare; false for an id that is
    // no element here.
    bool SizesOf(unsigned int id, long long* least, long long* most) const;
    int AddIDAndSize(unsigned int id, long long size) override;
    int GetHeaderLength(unsigned int id, long long size) const override;
    int RepairLevel1() override;
    // Only the rebuild exists: the other levels refuse rather than report
    // a repair that did nothing.
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }
    int CheckParsed() override;
    bool IsFreeId(unsigned int id) const override { return id == MKV_ID_VOID || id == MKV_ID_CRC32; }
    // The file's own EBML header too: a broken size there must not make a
    // sound file unknown.
    bool SizeIsHint(unsigned int id) const override
    {
        return id == MKV_ID_SEGMENT || id == MKV_ID_CLUSTER || (id == MKV_ID_EBML && m_readingFileHeader);
    }
    bool KeepInRebuiltParent(const Node* node) const override { return node->id != MKV_ID_CRC32; }
    // SimpleBlocks are most of a recording's elements; they are copied as
    // they stand, and their times are read again where needed.
    bool JoinsRuns(const Node* node) const override { return node->id == MKV_ID_SIMPLEBLOCK; }
    bool KeepDamagedParent(Node* node, bool endsInDamage) override;
    bool ParentUsable(Node* node) override;
    // A TrackEntry's CodecPrivate holds what its codec needs (for the codecs
    // whose private data has a form to check).
    bool CodecPrivateFits(Node* entry);
    int64_t DamageCrossed(const Node* node) const override;
    int ParseLabelFather(unsigned int id, long long size, int64_t start, Node*& node, const SNode* snode) override;
    int ParseLabelChild(unsigned int id, long long size, int64_t start, Node*& node, const SNode* snode) override;
    bool OrphansStartAt(unsigned int parentId, unsigned int id, long long size, int64_t at) override;
    // An id (up to 4 bytes) and a size (up to 8), and the byte the reader
    // demands after them.
    int HeaderReach() const override { return 13; }
    size_t FirstCandidate(const uint8_t* bytes, size_t n, size_t avail, int64_t at, uint64_t* steps) override;

private:
    // The ids of the headers that the scan in one parent (or at the top
    // level) could take, and the first bytes they begin with: at a byte of
    // damage where none of them begins, a full read finds nothing to take.
    struct HeaderFilter {
        struct Entry {
            unsigned int id = 0;
            int width = 1;     // bytes of the id
            int relation = 0;  // CheckNodeRelation(parent, id); 0 at the top level
            long long least = 0;  // the sizes CheckIdAndSizeValid accepts
            long long most = 0;
            bool free = false;   // IsFreeId
            bool block = false;  // SimpleBlock or Block
        };
        // By first byte: nonzero where some id begins with it, and the range
        // of ids that do.
        uint8_t firstByte[256] = {};
        uint16_t begin[256] = {};
        uint16_t end[256] = {};
        // By the first two bytes (PairIndex): nonzero where they may begin
        // an id of this filter with a size it accepts.
        std::vector<uint8_t> firstTwo;
        std::vector<Entry> ids;  // sorted by id
    };
    const HeaderFilter& FilterFor(const Node* parent);
    // The steps a full read of the header in b at `at` counts, in damage,
    // when it surely takes nothing; -1 when only a full read can tell.
    int PassCost(const uint8_t* b, size_t avail, int64_t at, const HeaderFilter& f);
    // The same for a leaf element of the schema, a child of m_parent, whose
    // header (of `header` bytes) stands at b: what the leaf test counts
    // when it refuses the element before or at its look-ahead's first
    // header, which must lie among the `avail` bytes in memory.
    int LeafPassCost(const uint8_t* b, size_t avail, int64_t at, unsigned int id, long long size, int header);
    // From the first bytes of a block's payload: BlockIsPlausible would
    // surely refuse it.
    bool BlockSurelyImplausible(const uint8_t* payload, uint64_t size) const;
    // The one-byte-per-call read of a header and the in-memory test of
    // FirstCandidate both ask this of the blocks that stand in a parent.
    static bool MayStandForOrphans(unsigned int parentId, unsigned int id)
    {
        return parentId == MKV_ID_SEGMENT && id == MKV_ID_SIMPLEBLOCK;
    }
    // One EBML variable-length integer; the marker bit kept for ids.
    int ReadVint(int maxWidth, bool keepMarker, uint64_t* value);
    int ReadEbmlId(unsigned int& id);
    int ReadEbmlSize(long long& size);
    int SkipLostSegmentSize(int64_t sizeAt, long long& size);
    // A parent in the Segment other than a Cluster, or a TrackEntry in
    // Tracks: its size must end where the parent it stands in goes on.
    bool SizeCheckedAgainstNext(unsigned int parentId, unsigned int id) const;
    // One header at `at` as ReadIdAndSize reads it, without its mending of
    // sizes: the result of PeekHeader, refused by the id and size check.
    int PeekHeaderAt(int64_t at, unsigned int* id, long long* size, int* length);
    // Whether m_parent goes on at `at`: its end or the input's, or (after a
    // few free elements) an element that may stand in it or beside it; at
    // the top of the file, the Segment after the EBML header.
    bool ParentGoesOnAt(int64_t at);
    // The end of the children of `id` that follow each other from `at`,
    // and how many there are.
    int64_t ChildrenEnd(unsigned int id, int64_t at, int* count);
    // An element that SizeCheckedAgainstNext names, whose header at `start`
    // declares a size that does not end where its parent goes on, or no
    // size at all: the width and size of its field that its children give,
    // where they run on up to where the parent goes on. False where they
    // do not.
    bool SizeFromChildren(unsigned int id, int64_t start, int idWidth, int readWidth, long long* size, int* length);
    // What the parse reads of a block: its track and its time relative to
    // its Cluster's Timecode.
    struct BlockHead {
        uint64_t track = 0;
        int time = 0;
    };
    bool LacesFit(int64_t blockEnd, uint8_t flags);
    int ReadEbmlUint(int width, uint64_t* value);
    bool BlockIsPlausible(long long size, BlockHead* head);
    // A track a kept TrackEntry declares (any, while none is known yet),
    // and one whose blocks may stand in the file: declared, or perhaps
    // declared by an entry that damage took.
    bool TrackDeclared(uint64_t track) const;
    bool TrackMayHaveBlocks(uint64_t track) const;
    bool ContinuesInTime(const BlockHead& head) const;
    void NoteBlockTime(const BlockHead& head);
    void NoteTrackNumber(const Node* entry);
    // A block's track and time relative to its Cluster; child is a
    // SimpleBlock or a BlockGroup.
    bool ReadBlockTime(const Node* child, uint64_t* track, int* time);
    bool ReadBlockTimeAt(int64_t payload, long long size, uint64_t* track, int* time);
    // Calls f(track, time) for each readable block of a Cluster's child, in
    // order: a SimpleBlock, a BlockGroup's Block, or each SimpleBlock of a
    // run, whose headers are read again from the input.
    template <typename F>
    void ForEachBlockTime(const Node* child, F f);
    // Per track: the earliest and latest block time in a Cluster and the
    // smallest step between two of its blocks in a row.
    struct TrackSpan {
        int first = INT32_MAX;
        int last = INT32_MIN;
        int step = INT32_MAX;
        int prev = 0;
    };
    using Spans = std::map<uint64_t, TrackSpan>;
    Spans BlockSpans(const Node* cluster);
    // The time of a Cluster: its Timecode, or the one the parse estimated
    // for a Cluster that lost it.
    bool ClusterTime(const Node* cluster, uint64_t* time);
    bool EstimateLostTime(Node* cluster, uint64_t* time);
    int WriteTimedCluster(Node* cluster, uint64_t time);
    bool ReadUintElement(const Node* node, uint64_t* value);
    Node* FindChild(Node* parent, unsigned int id) const;
    Node* FindTop(unsigned int id) const;
    bool IsUnknownSize(const Node* node) const;
    void CheckSizes(Node* segment);
    void CheckEbmlHeader(Node* ebml);
    int WriteEbmlHeader(Node* ebml);
    int WriteUint(unsigned int id, uint64_t value);
    int64_t EstimateEnd(const std::vector<Node*>& clusters);
    int AddBlank(int64_t n);
    int WriteBytes(const uint8_t* bytes, unsigned int n);
    int WriteDuration(double value);
    int WriteString(unsigned int id, const char* text);
    int WriteSegmentInfo(Node* info, bool withDuration);
    int WriteSeekEntries(int64_t at, int64_t reserved, const std::vector<std::pair<unsigned int, int64_t>>& entries);

    int64_t m_segmentDataStart = 0;
    // The DocType the format test found ("matroska" or "webm"), whether the
    // rebuild writes the EBML header afresh, and whether the file's first
    // element is being read.
    std::string m_docType;
    bool m_freshEbmlHeader = false;
    bool m_readingFileHeader = false;
    uint64_t m_estimatedDuration = 0;
    // The input's Duration, and whether it agrees with the content.
    double m_duration = 0;
    bool m_durationAgrees = false;
    // The Cluster being parsed: whether its time base is settled (its
    // Timecode or a block read), where its size field says it ends
    // (INT64_MAX when unknown), and per track the time of its last block
    // and the largest step back in time seen.
    struct ClusterScan {
        struct Track {
            uint64_t number;
            int last;
            int reorder;
        };
        bool timed = false;
        int64_t declaredEnd = INT64_MAX;
        std::vector<Track> tracks;
    };
    ClusterScan m_cluster;
    // Track numbers the TrackEntry elements read so far declare, and
    // whether Tracks held damage that may have taken entries with it.
    std::vector<uint64_t> m_trackNumbers;
    bool m_tracksDamaged = false;
    // Where blocks of a Cluster whose header was lost begin: the next
    // header read there is that Cluster's, of width zero.
    int64_t m_orphansAt = -1;
    // Where the last such stand-in Cluster began.
    int64_t m_standInAt = -1;
    // The last header whose size its children gave (SizeFromChildren): where
    // it begins, and the size it declared.
    int64_t m_bentAt = -1;
    long long m_bentDeclared = 0;
    // Clusters without a Timecode of their own and the time their
    // neighbours give them.
    std::map<const Node*, uint64_t> m_lostTimes;
    // By parent id, 0 for the top level; the schema never changes, so a
    // filter once built serves every parse.
    std::map<unsigned int, HeaderFilter> m_filters;
};

#endif
