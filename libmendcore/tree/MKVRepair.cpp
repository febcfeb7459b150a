#include "tree/MKVRepair.h"

#include <limits.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "core/StreamIO.h"

namespace {

// Clusters and the Segment may declare an unknown size: all value bits set.
constexpr long long UnknownSizeValue(int width)
{
    return (1LL << (7 * width)) - 1;
}

// The unknown size, in a size field of this many bytes.
bool IsUnknownSizeValue(long long size, int64_t width)
{
    return width >= 1 && width <= 8 && size == UnknownSizeValue(static_cast<int>(width));
}

// The Segment header's size field while the rebuild runs, later patched.
constexpr long long kSegmentSizePlaceholder = 0x00FFFFFFFFFFFFF0LL;
// Id (2) + size (1) + SeekID element (2 + 1 + 4) + SeekPosition (2 + 1 + 8).
constexpr int64_t kSeekEntrySize = 21;
// Duration element written by the rebuild: id (2), size (1), 8-byte float.
constexpr int64_t kDurationElementSize = 11;
constexpr uint64_t kDefaultTimecodeScale = 1000000;  // one millisecond in ns
// TimecodeScale element of the default scale: id (3), size (1), 3 bytes.
constexpr int64_t kScaleElementSize = 7;
// Named as muxing and writing application where an Info lost its own.
constexpr char kApplication[] = "vidmend";
// An id of up to 4 bytes and a size of up to 8.
constexpr int kMaxHeaderLength = 12;
// How far above the highest track number that survives a lost track's
// number may lie.
constexpr uint64_t kLostTracks = 8;
// The longest damaged run a stand-in Cluster crosses: well above the gaps
// that damage leaves among a Cluster's blocks in practice, and small enough
// that a stand-in opened by chance in noise costs little.
constexpr int64_t kStandInDamage = 64 * 1024;

// Elements whose value is a number (integer, float or date): never wider
// than eight bytes. In damaged data an id of this kind with a large random
// size would otherwise swallow the good elements after it.
bool IsNumberElement(unsigned int id)
{
    switch (id) {
    case 0x4286: case 0x42F7: case 0x42F2: case 0x42F3: case 0x4287: case 0x4285:  // EBML header
    case MKV_ID_TIMECODESCALE: case MKV_ID_DURATION: case 0x4461:                  // Info
    case 0x69FC: case 0x69BF:                                                      // ChapterTranslate
    case MKV_ID_TIMECODE: case 0xA7: case 0xAB: case 0xFB: case MKV_ID_BLOCKDURATION: case 0x75A2:
    case 0xFA: case 0xEE: case 0x58D7:                                             // Cluster
    case 0xB3: case 0xF7: case 0xF1: case 0xF0: case 0xB2: case 0x5378: case 0xEA: case 0x96:  // Cues
    case 0x68CA: case 0x63C5: case 0x63C9: case 0x63C4: case 0x63C6: case 0x4484:  // Tags
    case MKV_ID_SEEKPOSITION: case 0x46AE:                                         // SeekHead, Attachments
    case 0x45BC: case 0x45BD: case 0x45DB: case 0x45DD: case 0x73C4: case 0x91: case 0x92: case 0x98:
    case 0x4598: case 0x6EBC: case 0x63C3: case 0x89: case 0x6955: case 0x6922:    // Chapters
    case MKV_ID_TRACKNUMBER: case 0x73C5: case MKV_ID_TRACKTYPE: case 0xB9: case 0x88: case 0x55AA: case 0x55AB:
    case 0x55AC: case 0x55AD: case 0x55AE: case 0x55AF: case 0x9C: case 0x6DE7: case 0x6DF8: case 0x23E383:
    case 0x234E7A: case 0x23314F: case 0x537F: case 0x55EE: case 0x41F0: case 0x41E7: case 0x7446: case 0xAA:
    case 0x6FAB: case 0x56AA: case 0x56BB: case 0x66FC: case 0x66BF: case 0xC0: case 0xC6: case 0xC7:  // TrackEntry
    case 0x9A: case 0x9D: case 0x53B8: case 0x53C0: case 0x53B9: case 0xB0: case 0xBA: case 0x54AA: case 0x54BB:
    case 0x54CC: case 0x54DD: case 0x54B0: case 0x54BA: case 0x54B2: case 0x54B3: case 0x2FB523: case 0x2383E3:
    case 0x55B1: case 0x55B2: case 0x55B3: case 0x55B4: case 0x55B5: case 0x55B6: case 0x55B7: case 0x55B8:
    case 0x55B9: case 0x55BA: case 0x55BB: case 0x55BC: case 0x55BD: case 0x55D1: case 0x55D2: case 0x55D3:
    case 0x55D4: case 0x55D5: case 0x55D6: case 0x55D7: case 0x55D8: case 0x55D9: case 0x55DA: case 0x7671:
    case 0x7673: case 0x7674: case 0x7675:                                         // Video
    case 0xB5: case 0x78B5: case 0x9F: case 0x6264: case 0x52F1:                   // Audio
    case 0xE5: case 0xE6: case 0xED: case 0x5031: case 0x5032: case 0x5033: case 0x4254: case 0x47E1:
    case 0x47E5: case 0x47E6: case 0x47E8:                                         // operations, encodings
        return true;
    default:
        return false;
    }
}

// An unsigned integer payload in as few bytes as hold it (at least one),
// big-endian; returns the count.
unsigned int UintBytes(uint64_t value, uint8_t* bytes)
{
    unsigned int n = 1;
    while (n < 8 && (value >> (8 * n)) != 0)
        ++n;
    for (unsigned int i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
    return n;
}

// EBML header fields (the DocType is named with the Matroska ids).
constexpr unsigned int kEbmlVersion = 0x4286;
constexpr unsigned int kEbmlReadVersion = 0x42F7;
constexpr unsigned int kEbmlMaxIdLength = 0x42F2;
constexpr unsigned int kEbmlMaxSizeLength = 0x42F3;
constexpr unsigned int kDocTypeVersion = 0x4287;
constexpr unsigned int kDocTypeReadVersion = 0x4285;

int Width(uint8_t first)
{
    // Leading zero bits plus one; a first byte of 0 gives 9, wider than any
    // reader allows.
    return first ? __builtin_clz(static_cast<unsigned int>(first)) - 23 : 9;
}

// An EBML variable-length integer in memory, as ReadVint reads it from the
// stream: its width, or 0 where there is none (a first byte 0, or wider
// than maxWidth). The caller has the bytes.
inline int PeekVint(const uint8_t* b, int maxWidth, bool keepMarker, uint64_t* value)
{
    const int w = Width(b[0]);
    if (w > maxWidth)
        return 0;
    uint64_t v = keepMarker ? b[0] : (b[0] & ((0x80 >> (w - 1)) - 1));
    for (int i = 1; i < w; ++i)
        v = (v << 8) | b[i];
    *value = v;
    return w;
}

// The index of a filter's table by the first two bytes of a header.
inline unsigned int PairIndex(unsigned int first, unsigned int second)
{
    return first | (second << 8);
}

// An element header in memory, as ReadEbmlId and then ReadEbmlSize read it
// from the stream: b holds the header's bytes (up to kMaxHeaderLength of
// them, as far as the input goes), `left` the bytes of the input from b[0]
// on. TREE_STEP_READ with the header's length; TREE_STEP_END where the input
// ends before the header has a byte after it; TREE_STEP_INVALID where no
// header begins. id and size are set as the stream readers set them.
int PeekHeader(const uint8_t* b, int64_t left, unsigned int* id, long long* size, int* length)
{
    if (left <= 0)
        return TREE_STEP_END;
    const int w = Width(b[0]);
    *id = 0;
    if (w > 4)
        return TREE_STEP_INVALID;
    if (w > left - 1)
        return TREE_STEP_END;
    uint64_t v = 0;
    PeekVint(b, 4, true, &v);
    *id = static_cast<unsigned int>(v);
    *size = 0;
    const int sw = Width(b[w]);
    if (sw > 8)
        return TREE_STEP_INVALID;
    if (sw > left - w - 1)
        return TREE_STEP_END;
    PeekVint(b + w, 8, false, &v);
    *size = static_cast<long long>(v);
    *length = w + sw;
    return TREE_STEP_READ;
}

}  // namespace

CMKVRepair::CMKVRepair(IBaseStream* in) : TBaseRepair(in)
{
    m_schema = &MkvSchema();
    m_format = JRVP_FORMAT_MKV;
}

CMKVRepair::~CMKVRepair()
{
    m_schema = nullptr;
    CMKVRepair::Close();
}

void CMKVRepair::Close()
{
    m_segmentDataStart = 0;
    m_docType.clear();
    m_freshEbmlHeader = false;
    m_readingFileHeader = false;
    m_trackNumbers.clear();
    m_tracksDamaged = false;
    m_cluster = ClusterScan();
    m_orphansAt = -1;
    m_standInAt = -1;
    m_bentAt = -1;
    m_bentDeclared = 0;
    m_lostTimes.clear();
    TBaseRepair::Close();
}

// --- headers ---------------------------------------------------------------

int CMKVRepair::ReadVint(int maxWidth, bool keepMarker, uint64_t* value)
{
    *value = 0;
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    int64_t p = m_input->GetPos();
    if (p >= m_inputLength)
        return TREE_STEP_END;
    uint8_t b = 0;
    if (m_input->Read(&b, 1) != 1)
        return MEND_ERR_READ;
    if (b == 0)
        return TREE_STEP_INVALID;
    int w = Width(b);
    if (w > maxWidth)
        return TREE_STEP_INVALID;
    // Read only when at least one byte follows it.
    if (w > m_inputLength - (p + 1))
        return TREE_STEP_END;
    uint64_t v = keepMarker ? b : (b & ((0x80 >> (w - 1)) - 1));
    for (int i = 1; i < w; ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (m_input->Read(&b, 1) != 1)
            return MEND_ERR_READ;
        v = (v << 8) | b;
    }
    *value = v;
    return TREE_STEP_READ;
}

int CMKVRepair::ReadEbmlId(unsigned int& id)
{
    // Ids keep their marker bit and are at most four bytes wide.
    uint64_t v = 0;
    int r = ReadVint(4, true, &v);
    id = static_cast<unsigned int>(v);
    return r;
}

int CMKVRepair::ReadEbmlSize(long long& size)
{
    uint64_t v = 0;
    int r = ReadVint(8, false, &v);
    size = static_cast<long long>(v);
    return r;
}

int CMKVRepair::ReadEbmlUint(int width, uint64_t* value)
{
    *value = 0;
    if (width > 8)
        return MEND_ERR_REPAIR_REFUSED;
    for (int i = 0; i < width; ++i) {
        uint8_t b = 0;
        if (m_input->Read(&b, 1) != 1)
            return MEND_ERR_READ;
        *value = (*value << 8) | b;
    }
    return 0;
}

int CMKVRepair::ReadIdAndSize(unsigned int& id, long long& size)
{
    int64_t p = m_input ? m_input->GetPos() : 0;
    if (p == m_orphansAt) {
        // The stand-in header of a Cluster whose own was lost: it takes no
        // bytes and reaches as far as its parent may.
        m_orphansAt = -1;
        m_standInAt = p;
        id = MKV_ID_CLUSTER;
        size = m_scopeEnd - p;
        return TREE_STEP_READ;
    }
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    m_bentAt = -1;
    // One read of the longest header the input still holds, rather than a
    // stream call per byte: damage is read here at every position that
    // might hold a header.
    uint8_t bytes[kMaxHeaderLength] = {};
    const int64_t left = m_inputLength - p;
    const unsigned int want = static_cast<unsigned int>(std::max<int64_t>(0, std::min<int64_t>(kMaxHeaderLength, left)));
    const unsigned int got = want ? m_input->Read(bytes, want) : 0;
    if (got != want)
        return MEND_ERR_READ;
    int length = 0;
    int r = PeekHeader(bytes, left, &id, &size, &length);
    if (r == TREE_STEP_INVALID && id == MKV_ID_SEGMENT) {
        const int64_t sizeAt = p + Width(bytes[0]);
        r = SkipLostSegmentSize(sizeAt, size);
        if (r < 0)
            return r;
        length = static_cast<int>(m_input->GetPos() - p);
    }
    // The size of an Info, Tracks, Tags, a TrackEntry and the like is checked
    // against the element after it: libavformat trusts it, so one that cuts
    // a TrackEntry short or runs over what follows loses the file or a
    // track. Where it does not end where its parent goes on, the children it
    // holds give its size.
    // The EBML header likewise ends where the Segment begins.
    const bool checked = m_parent ? SizeCheckedAgainstNext(m_parent->id, id) : id == MKV_ID_EBML;
    if (r != TREE_STEP_END && checked) {
        const int idWidth = Width(bytes[0]);
        const int64_t body = p + length;
        const bool ends = r == TREE_STEP_READ && size >= 0 && size <= m_scopeEnd - body &&
                          !IsUnknownSizeValue(size, length - idWidth) && ParentGoesOnAt(body + size);
        long long mended = 0;
        int mendedLength = 0;
        if (!ends && SizeFromChildren(id, p, idWidth, r == TREE_STEP_READ ? length - idWidth : 0, &mended, &mendedLength)) {
            m_bentAt = p;
            m_bentDeclared = r == TREE_STEP_READ ? size : 0;
            size = mended;
            length = mendedLength;
            r = TREE_STEP_READ;
        }
    }
    if (r == TREE_STEP_END) {
        m_input->SeekTo(m_inputLength);
        return r;
    }
    if (r == TREE_STEP_INVALID || CheckIdAndSizeValid(id, size) != 0) {
        m_input->SeekTo(p);
        return TREE_STEP_INVALID;
    }
    m_input->SeekTo(p + length);
    return TREE_STEP_READ;
}

// A Segment whose size field was wiped (a first byte of 0 is no size at
// all) still holds the whole file: the field is as wide as the gap before
// the first element of the Segment. Its size reads as 0, which the size
// check records as damage; the Segment runs to the end of the input anyway.
int CMKVRepair::SkipLostSegmentSize(int64_t sizeAt, long long& size)
{
    for (int width = 1; width <= 8; ++width) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (m_input->SeekTo(sizeAt + width) != sizeAt + width)
            break;
        unsigned int next = 0;
        long long nextSize = 0;
        if (ReadEbmlId(next) == TREE_STEP_READ && ReadEbmlSize(nextSize) == TREE_STEP_READ &&
            CheckNodeRelation(MKV_ID_SEGMENT, next) == 1) {
            m_input->SeekTo(sizeAt + width);
            size = 0;
            return TREE_STEP_READ;
        }
    }
    return TREE_STEP_INVALID;
}

bool CMKVRepair::SizeCheckedAgainstNext(unsigned int parentId, unsigned int id) const
{
    if (parentId == MKV_ID_TRACKS)
        return id == MKV_ID_TRACKENTRY;
    const SNode* s = parentId == MKV_ID_SEGMENT && id != MKV_ID_CLUSTER ? FindByIdS(id) : nullptr;
    return s && s->level == 2 && s->firstChild;
}

int CMKVRepair::PeekHeaderAt(int64_t at, unsigned int* id, long long* size, int* length)
{
    uint8_t bytes[kMaxHeaderLength] = {};
    const int64_t left = m_inputLength - at;
    const unsigned int want = static_cast<unsigned int>(std::max<int64_t>(0, std::min<int64_t>(kMaxHeaderLength, left)));
    if (at < 0 || m_input->SeekTo(at) != at || (want && m_input->Read(bytes, want) != want))
        return TREE_STEP_INVALID;
    const int r = PeekHeader(bytes, left, id, size, length);
    return r == TREE_STEP_READ && CheckIdAndSizeValid(*id, *size) != 0 ? TREE_STEP_INVALID : r;
}

bool CMKVRepair::ParentGoesOnAt(int64_t at)
{
    // A real file puts one or two free elements between two elements.
    for (int hops = 0; hops < 8; ++hops) {
        if (at == m_parentEnd || at == m_inputLength)
            return true;
        unsigned int nid = 0;
        long long nsize = 0;
        int length = 0;
        if (PeekHeaderAt(at, &nid, &nsize, &length) != TREE_STEP_READ)
            return false;
        if (!IsFreeId(nid))
            return FindByIdS(nid) && (m_parent ? CheckNodeRelation(m_parent->id, nid) >= 1 : nid == MKV_ID_SEGMENT);
        if (nsize > m_scopeEnd - (at + length))
            return false;
        at += length + nsize;
    }
    return false;
}

int64_t CMKVRepair::ChildrenEnd(unsigned int id, int64_t at, int* count)
{
    *count = 0;
    while (at < m_scopeEnd && Step()) {
        unsigned int cid = 0;
        long long csize = 0;
        int length = 0;
        if (PeekHeaderAt(at, &cid, &csize, &length) != TREE_STEP_READ || CheckNodeRelation(id, cid) != 1 || csize < 0 ||
            csize > m_scopeEnd - (at + length))
            break;
        at += length + csize;
        ++*count;
    }
    return at;
}

bool CMKVRepair::SizeFromChildren(unsigned int id, int64_t start, int idWidth, int readWidth, long long* size, int* length)
{
    // The field as wide as it reads first; then the other widths, for a
    // first byte that the damage made announce another (or none).
    for (int i = 0; i <= 8; ++i) {
        const int width = i == 0 ? readWidth : i;
        if (width == 0 || (i > 0 && width == readWidth))
            continue;
        if (TestAbort())
            return false;
        const int64_t body = start + idWidth + width;
        if (body >= m_scopeEnd)
            break;
        int count = 0;
        const int64_t end = ChildrenEnd(id, body, &count);
        if (count > 0 && ParentGoesOnAt(end)) {
            *size = end - body;
            *length = idWidth + width;
            return true;
        }
    }
    return false;
}

bool CMKVRepair::SizesOf(unsigned int id, long long* least, long long* most) const
{
    // Only schema ids, Void and CRC-32 are elements. How far an element may
    // reach is judged against the parent it stands in, not the file's
    // length: a large key frame or attachment is no damage.
    *least = LLONG_MIN;
    *most = LLONG_MAX;
    if (id == MKV_ID_VOID)
        return true;
    if (id == MKV_ID_CRC32) {
        *least = *most = 4;
        return true;
    }
    if (id == MKV_ID_SEEKID) {
        *least = 1;
        *most = 4;
        return true;
    }
    if (IsNumberElement(id))
        *most = 8;
    return FindByIdS(id) != nullptr;
}

int CMKVRepair::CheckIdAndSizeValid(const unsigned int& id, const long long& size) const
{
    long long least = 0;
    long long most = 0;
    return SizesOf(id, &least, &most) && size >= least && size <= most ? 0 : -1;
}

int CMKVRepair::GetIdLen(unsigned int id)
{
    if (id > 0x80 && id < 0xFF)
        return 1;
    if (id > 0x4000 && id < 0x7FFF)
        return 2;
    if (id > 0x200000 && id < 0x3FFFFF)
        return 3;
    if (id > 0x10000000 && id < 0x1FFFFFFF)
        return 4;
    return MEND_ERR_REPAIR_REFUSED;
}

int CMKVRepair::GetSizeLen(long long size)
{
    if (size < 0)
        return MEND_ERR_REPAIR_REFUSED;
    for (int w = 1; w <= 8; ++w)
        if (size < UnknownSizeValue(w))
            return w;
    return MEND_ERR_REPAIR_REFUSED;
}

int CMKVRepair::GetHeaderLength(unsigned int id, long long size) const
{
    int a = GetIdLen(id);
    int b = GetSizeLen(size);
    return (a < 0 || b < 0) ? MEND_ERR_REPAIR_REFUSED : a + b;
}

int CMKVRepair::WriteBytes(const uint8_t* bytes, unsigned int n)
{
    if (!m_output)
        return MEND_ERR_NO_STREAM;
    return m_output->Write(bytes, n) == n ? 0 : MEND_ERR_WRITE;
}

int CMKVRepair::AddIDAndSize(unsigned int id, long long size)
{
    if (!m_output)
        return MEND_ERR_NO_STREAM;
    int w = GetIdLen(id);
    int v = GetSizeLen(size);
    if (w < 0 || v < 0)
        return MEND_ERR_REPAIR_REFUSED;
    uint8_t bytes[12];
    int n = 0;
    for (int i = w - 1; i >= 0; --i)
        bytes[n++] = static_cast<uint8_t>(id >> (8 * i));
    uint64_t value = static_cast<uint64_t>(size) | (1ULL << (7 * v));
    for (int i = v - 1; i >= 0; --i)
        bytes[n++] = static_cast<uint8_t>(value >> (8 * i));
    return WriteBytes(bytes, static_cast<unsigned int>(n));
}

// --- the parse -------------------------------------------------------------

bool CMKVRepair::CheckFileFormat()
{
    if (!m_input)
        return false;
    m_input->SeekTo(0);
    m_readingFileHeader = true;
    const int r = ParseLabel();
    m_readingFileHeader = false;
    if (r != TREE_STEP_READ)
        return false;
    int64_t after = m_input->GetPos();
    Node* ebml = m_root->next;
    if (!ebml || ebml->id != MKV_ID_EBML)
        return false;
    Node* docType = FindChild(ebml, MKV_ID_DOCTYPE);
    if (!docType || !docType->valid)
        return false;
    int64_t length = docType->end - docType->start - docType->headerLength;
    char text[33] = {0};
    if (length < 0 || length >= static_cast<int64_t>(sizeof(text)))
        return false;
    m_input->SeekTo(docType->end - length);
    if (m_input->Read(text, static_cast<unsigned int>(length)) != length)
        return false;
    m_input->SeekTo(after);
    // The value may be padded with NUL bytes inside its payload.
    if (strcmp(text, "matroska") != 0 && strcmp(text, "webm") != 0)
        return false;
    m_docType = text;
    return true;
}

int CMKVRepair::ParseLabelFather(unsigned int id, long long size, int64_t start, Node*& node, const SNode* snode)
{
    // A size its children gave is rewritten; the check after the parse
    // records the one the header declared.
    long long declared = start == m_bentAt ? m_bentDeclared : size;
    // A Segment always runs to the end of the input, whatever its size
    // says: live recordings leave it unknown, and a wrong one must not cut
    // the file short.
    if (id == MKV_ID_SEGMENT)
        size = m_inputLength - m_input->GetPos();
    if (id == MKV_ID_CLUSTER) {
        m_cluster = ClusterScan();
        const int64_t pos = m_input->GetPos();
        if (size >= 0 && size <= m_inputLength - pos && !IsUnknownSizeValue(size, pos - start - GetIdLen(id)))
            m_cluster.declaredEnd = pos + size;
    }
    int r = TBaseRepair::ParseLabelFather(id, size, start, node, snode);
    if (r == TREE_STEP_READ && node) {
        node->declaredSize = declared;
        if (id == MKV_ID_TRACKENTRY)
            NoteTrackNumber(node);
        if (id == MKV_ID_BLOCKGROUP) {
            const Node* block = FindChild(node, MKV_ID_BLOCK);
            node->leftOut = block && block->leftOut;
        }
    }
    // Damage in Tracks may have taken entries with it: blocks of tracks it
    // does not declare may then belong to one of them.
    if (id == MKV_ID_TRACKS && (r != TREE_STEP_READ || !m_runClosed || !CheckNodeValid(node)))
        m_tracksDamaged = true;
    if (id == MKV_ID_TRACKS && r == TREE_STEP_READ && node)
        for (const Node* c = node->firstChild; c && !m_tracksDamaged; c = c->next)
            m_tracksDamaged = !c->valid;
    return r;
}

int CMKVRepair::ParseLabelChild(unsigned int id, long long size, int64_t start, Node*& node, const SNode* snode)
{
    // A Cluster's Timecode comes once, before its blocks: the time base
    // of every block after it. One read from damage in the middle of a
    // Cluster would move the Cluster's later blocks in time.
    if (id == MKV_ID_TIMECODE && m_cluster.timed)
        return TREE_STEP_INVALID;
    const bool block = id == MKV_ID_SIMPLEBLOCK || id == MKV_ID_BLOCK;
    BlockHead head;
    // A block names a track the file declares, and has room for its track
    // number, timecode and flags.
    if (block && !BlockIsPlausible(size, &head))
        return TREE_STEP_INVALID;
    // Past a Cluster's declared end (its size field too small) the blocks
    // that follow are its own only while they go on in time; the blocks of
    // a next Cluster whose header was lost start again near zero, and this
    // Cluster's Timecode would put them at the wrong time.
    if (block && start >= m_cluster.declaredEnd && !ContinuesInTime(head))
        return TREE_STEP_INVALID;
    int r = TBaseRepair::ParseLabelChild(id, size, start, node, snode);
    if (r == TREE_STEP_READ && node) {
        // Kept in the tree, so that the Cluster around it stays whole, but
        // no longer playable: its track's description was lost.
        if (block && !TrackDeclared(head.track))
            node->leftOut = true;
        if (id == MKV_ID_TIMECODE || block)
            m_cluster.timed = true;
        if (block)
            NoteBlockTime(head);
    }
    return r;
}

bool CMKVRepair::OrphansStartAt(unsigned int parentId, unsigned int id, long long size, int64_t at)
{
    // Blocks straight in the Segment: a Cluster header (and perhaps its
    // Timecode) was lost. Two plausible blocks in a row, or one and then
    // an element of the Segment, stand for the Cluster that held them.
    if (!MayStandForOrphans(parentId, id) || m_trackNumbers.empty())
        return false;
    const int64_t body = m_input->GetPos();
    BlockHead head;
    bool ok = size <= m_inputLength - body && BlockIsPlausible(size, &head);
    if (ok) {
        m_input->SeekTo(body + size);
        unsigned int nid = 0;
        long long nsize = 0;
        int r = ReadIdAndSize(nid, nsize);
        const SNode* s = r == TREE_STEP_READ ? FindByIdS(nid) : nullptr;
        if (r == TREE_STEP_END)
            ok = true;
        else if (nid == MKV_ID_SIMPLEBLOCK && s)
            ok = nsize <= m_inputLength - m_input->GetPos() && BlockIsPlausible(nsize, &head);
        else
            ok = s && (nid == MKV_ID_BLOCKGROUP || s->level == 2);
    }
    m_input->SeekTo(at);
    if (ok)
        m_orphansAt = at;
    return ok;
}

const CMKVRepair::HeaderFilter& CMKVRepair::FilterFor(const Node* parent)
{
    const unsigned int parentId = parent ? parent->id : 0;
    auto found = m_filters.find(parentId);
    if (found != m_filters.end())
        return found->second;
    HeaderFilter& f = m_filters[parentId];
    // What the full read would take: an element id (a schema id, Void or
    // CRC-32) that may stand here by the placement rule, or the blocks of a
    // lost Cluster. At the top level only top-level ids and free elements
    // get past the parse's first checks.
    auto consider = [&](unsigned int id) {
        const SNode* s = FindByIdS(id);
        const bool takes = parent ? CheckNodeRelation(parentId, id) >= 0 || MayStandForOrphans(parentId, id)
                                  : !s || s->level == 1;
        if (!takes)
            return;
        HeaderFilter::Entry e;
        e.id = id;
        int bytes = 1;
        while (bytes < 4 && (id >> (8 * bytes)) != 0)
            ++bytes;
        // An id whose first byte announces another width is never read.
        e.width = Width(static_cast<uint8_t>(id >> (8 * (bytes - 1))));
        if (e.width != bytes)
            return;
        e.relation = parent ? CheckNodeRelation(parentId, id) : 0;
        if (!SizesOf(id, &e.least, &e.most))
            return;  // no element: a full read takes nothing here
        e.free = IsFreeId(id);
        e.block = id == MKV_ID_SIMPLEBLOCK || id == MKV_ID_BLOCK;
        f.ids.push_back(e);
    };
    consider(MKV_ID_VOID);
    consider(MKV_ID_CRC32);
    std::vector<const SNode*> stack;
    if (m_schema && m_schema->Top())
        stack.push_back(m_schema->Top());
    while (!stack.empty()) {
        const SNode* s = stack.back();
        stack.pop_back();
        consider(s->id);
        if (s->next)
            stack.push_back(s->next);
        if (s->firstChild)
            stack.push_back(s->firstChild);
    }
    // The first byte of an id gives its width, so the ids of one first byte
    // stand together once sorted.
    std::sort(f.ids.begin(), f.ids.end(),
              [](const HeaderFilter::Entry& a, const HeaderFilter::Entry& b) { return a.id < b.id; });
    for (size_t i = 0; i < f.ids.size(); ++i) {
        const uint8_t first = static_cast<uint8_t>(f.ids[i].id >> (8 * (f.ids[i].width - 1)));
        if (!f.firstByte[first])
            f.begin[first] = static_cast<uint16_t>(i);
        f.firstByte[first] = 1;
        f.end[first] = static_cast<uint16_t>(i + 1);
    }
    // By the first two bytes: the second is the id's own, or for a one-byte
    // id the first of its size, which already tells the widths and values
    // the size can have.
    f.firstTwo.assign(1 << 16, 0);
    for (const HeaderFilter::Entry& e : f.ids) {
        const unsigned int first = e.id >> (8 * (e.width - 1));
        if (e.width > 1) {
            f.firstTwo[PairIndex(first, (e.id >> (8 * (e.width - 2))) & 0xFF)] = 1;
            continue;
        }
        // A size lost (a first byte of 0) is read in full where the
        // children may give it back.
        if (SizeCheckedAgainstNext(parentId, e.id))
            f.firstTwo[PairIndex(first, 0)] = 1;
        for (unsigned int second = 1; second < 256; ++second) {
            const int sw = Width(static_cast<uint8_t>(second));
            const int shift = 8 * (sw - 1);
            const unsigned long long top = second & ((0x80u >> (sw - 1)) - 1);
            const long long least = static_cast<long long>(top << shift);
            const long long most = static_cast<long long>(((top + 1) << shift) - 1);
            if (most >= e.least && least <= e.most)
                f.firstTwo[PairIndex(first, second)] = 1;
        }
    }
    return f;
}

size_t CMKVRepair::FirstCandidate(const uint8_t* bytes, size_t n, size_t avail, int64_t at, uint64_t* steps)
{
    *steps = 0;
    // The stand-in header of a lost Cluster takes no bytes: its place is
    // read in full.
    if (m_orphansAt >= at && m_orphansAt - at < static_cast<int64_t>(n))
        n = static_cast<size_t>(m_orphansAt - at);
    const HeaderFilter& f = FilterFor(m_parent);
    const uint8_t* two = f.firstTwo.data();
    // The byte after bytes[i] is always there: HeaderReach() - 1 follow
    // bytes[n - 1].
    auto may = [&](size_t k) { return two[PairIndex(bytes[k], bytes[k + 1])]; };
    // Every position passed counts a step, except those the filter takes,
    // which count what PassCost says.
    uint64_t counted = 0;
    size_t taken = 0;
    size_t i = 0;
    for (;;) {
        // In damage few positions begin a header that may stand here: eight
        // at a time, without a branch per byte.
        while (n - i >= 8 &&
               !(may(i) | may(i + 1) | may(i + 2) | may(i + 3) | may(i + 4) | may(i + 5) | may(i + 6) | may(i + 7)))
            i += 8;
        while (i < n && !may(i))
            ++i;
        if (i >= n)
            break;
        const int cost = PassCost(bytes + i, avail - i, at + static_cast<int64_t>(i), f);
        if (cost < 0)
            break;
        counted += static_cast<uint64_t>(cost);
        ++taken;
        ++i;
    }
    *steps = (i - taken) + counted;
    return i;
}

int CMKVRepair::PassCost(const uint8_t* b, size_t avail, int64_t at, const HeaderFilter& f)
{
    // Whatever fails these the scan finds no header at, a step: an id of
    // the filter (the first byte gives its width and its entries), then a
    // size that the id accepts.
    const int w = Width(b[0]);
    unsigned int id = b[0];
    for (int j = 1; j < w && j < 4; ++j)
        id = (id << 8) | b[j];
    const HeaderFilter::Entry* entry = nullptr;
    for (uint16_t k = f.begin[b[0]]; k < f.end[b[0]] && !entry; ++k)
        if (f.ids[k].id == id)
            entry = &f.ids[k];
    if (!entry)
        return 1;
    uint64_t size = 0;
    const int sw = PeekVint(b + w, 8, false, &size);
    // An element whose size its children may give back is read in full
    // when its size is lost.
    if (sw == 0 && m_parent && SizeCheckedAgainstNext(m_parent->id, id))
        return -1;
    if (sw == 0 || static_cast<long long>(size) < entry->least || static_cast<long long>(size) > entry->most)
        return 1;
    if (!m_parent || m_runClosed)
        return -1;
    const int64_t body = at + w + sw;
    const uint8_t* payload = b + w + sw;
    if (entry->free) {
        // Refused in damage by the leaf test, after its one step; one that
        // reaches past its parent is refused before any step.
        return static_cast<int64_t>(size) <= m_scopeEnd - body ? 1 : 0;
    }
    if (entry->relation >= 2)
        return -1;  // it ends the parent's children: the full read goes on from there
    if (!entry->block)
        return entry->relation == 1 ? LeafPassCost(b, avail, at, id, static_cast<long long>(size), w + sw) : -1;
    if (w + sw + 4 > HeaderReach())
        return -1;
    if (entry->relation < 0) {
        // Only the blocks of a lost Cluster get here; without a plausible
        // first block the scan goes on, a step.
        return static_cast<int64_t>(size) > m_inputLength - body || BlockSurelyImplausible(payload, size) ? 1 : -1;
    }
    // A child block the leaf test refuses before any step.
    return entry->relation == 1 && BlockSurelyImplausible(payload, size) ? 0 : -1;
}

int CMKVRepair::LeafPassCost(const uint8_t* b, size_t avail, int64_t at, unsigned int id, long long size, int header)
{
    // Only a leaf: a parent's children are scanned.
    const SNode* s = FindByIdS(id);
    if (!s || s->firstChild)
        return -1;
    // Refused before the leaf test's step: not allowed after the last
    // element read, reaching past its parent, or a second Timecode.
    const int64_t body = at + header;
    if (CheckNodeRelation(m_lastId, id) < 0 || size > m_scopeEnd - body || (id == MKV_ID_TIMECODE && m_cluster.timed))
        return 0;
    // From here the leaf test has counted its step. It takes an element that
    // ends its parent; otherwise it reads the header after it, which must
    // be an element that may follow this one.
    if (size > m_inputLength - body)
        return 1;
    const int64_t end = body + size;
    if (end == m_parentEnd || end == m_orphansAt)
        return -1;
    const int64_t left = m_inputLength - end;
    const int64_t need = std::min<int64_t>(kMaxHeaderLength, left);
    if (end - at > static_cast<int64_t>(avail) - need)
        return -1;  // not in memory
    unsigned int nid = 0;
    long long nsize = 0;
    int length = 0;
    const int r = PeekHeader(b + (end - at), left, &nid, &nsize, &length);
    if (r == TREE_STEP_END)
        return -1;  // the end of the input confirms an element of the schema
    if (r == TREE_STEP_INVALID || CheckIdAndSizeValid(nid, nsize) != 0)
        return 1;
    return CheckNodeRelation(id, nid) < 0 ? 1 : -1;
}

bool CMKVRepair::BlockSurelyImplausible(const uint8_t* payload, uint64_t size) const
{
    // The track number: at most four bytes, not 0, one the file declares,
    // and room for the timecode and flags after it.
    uint64_t track = 0;
    const int tw = PeekVint(payload, 4, false, &track);
    if (size < 4 || tw == 0 || track == 0 || static_cast<uint64_t>(tw) + 3 > size)
        return true;
    return !TrackMayHaveBlocks(track);
}

bool CMKVRepair::TrackDeclared(uint64_t track) const
{
    return m_trackNumbers.empty() || std::find(m_trackNumbers.begin(), m_trackNumbers.end(), track) != m_trackNumbers.end();
}

bool CMKVRepair::TrackMayHaveBlocks(uint64_t track) const
{
    if (TrackDeclared(track))
        return true;
    // An entry lost to damage in Tracks leaves its blocks with a number no
    // kept entry declares. Muxers number tracks from 1 up, so a lost one
    // lies little above the numbers that remain.
    if (!m_tracksDamaged || track == 0)
        return false;
    const uint64_t highest = *std::max_element(m_trackNumbers.begin(), m_trackNumbers.end());
    return track <= highest + kLostTracks;
}

bool CMKVRepair::BlockIsPlausible(long long size, BlockHead* head)
{
    int64_t at = m_input->GetPos();
    long long track = 0;
    bool ok = size >= 4 && ReadEbmlSize(track) == TREE_STEP_READ && m_input->GetPos() - at <= 4 && track > 0 &&
              m_input->GetPos() - at + 3 <= size;
    if (ok)
        ok = TrackMayHaveBlocks(static_cast<uint64_t>(track));
    uint8_t bytes[3];  // timecode (2), flags
    if (ok)
        ok = m_input->Read(bytes, sizeof(bytes)) == sizeof(bytes);
    if (ok) {
        head->track = static_cast<uint64_t>(track);
        head->time = static_cast<int16_t>(static_cast<uint16_t>((bytes[0] << 8) | bytes[1]));
        ok = LacesFit(at + size, bytes[2]);
    }
    m_input->SeekTo(at);
    return ok;
}

bool CMKVRepair::ContinuesInTime(const BlockHead& head) const
{
    for (const ClusterScan::Track& t : m_cluster.tracks)
        if (t.number == head.track)
            return head.time >= t.last - t.reorder;
    // A track the Cluster has not shown yet gives nothing to compare with.
    return true;
}

void CMKVRepair::NoteBlockTime(const BlockHead& head)
{
    for (ClusterScan::Track& t : m_cluster.tracks) {
        if (t.number == head.track) {
            // Frame reordering steps back in time by up to a few frames; a
            // track that does so may do so again.
            t.reorder = std::max(t.reorder, t.last - head.time);
            t.last = head.time;
            return;
        }
    }
    // Bounded by the tracks the file declares (or a few unknown ones).
    if (m_cluster.tracks.size() < 64)
        m_cluster.tracks.push_back({head.track, head.time, 0});
}

// With the position after a block's flags: the frame sizes of a laced
// block fit its payload, as a player demands. Bytes inside damage that pass
// for a block seldom carry a consistent lace header.
bool CMKVRepair::LacesFit(int64_t blockEnd, uint8_t flags)
{
    const int lacing = (flags >> 1) & 3;
    if (lacing == 0)
        return true;
    uint8_t count = 0;
    if (!ReadField(m_input.get(), count))
        return false;
    const int frames = count + 1;
    auto left = [&] { return blockEnd - m_input->GetPos(); };
    if (lacing == 2)  // fixed-size lacing: equal frames fill the payload
        return left() > 0 && left() % frames == 0;
    int64_t total = 0;
    int64_t previous = 0;
    for (int i = 0; i < frames - 1; ++i) {
        int64_t frame = 0;
        if (lacing == 1) {  // Xiph: runs of 255 and a closing byte
            uint8_t b = 255;
            while (b == 255) {
                if (left() <= 0 || !ReadField(m_input.get(), b))
                    return false;
                frame += b;
            }
        } else {  // EBML: the first size, then signed differences
            int64_t from = m_input->GetPos();
            long long v = 0;
            if (ReadEbmlSize(v) != TREE_STEP_READ || v < 0)
                return false;
            if (i == 0) {
                frame = v;
            } else {
                const int width = static_cast<int>(m_input->GetPos() - from);
                const long long bias = (1LL << (7 * width - 1)) - 1;
                frame = previous + (v - bias);
            }
            previous = frame;
        }
        if (frame < 0)
            return false;
        total += frame;
        if (total > left())
            return false;
    }
    // The last frame takes what is left, and must not be empty.
    return left() - total > 0;
}

void CMKVRepair::NoteTrackNumber(const Node* entry)
{
    // A kept entry has its TrackNumber: the schema makes it mandatory.
    const int64_t after = m_input->GetPos();
    uint64_t number = 0;
    if (m_trackNumbers.size() < 4096 && ReadUintElement(FindChild(const_cast<Node*>(entry), MKV_ID_TRACKNUMBER), &number) &&
        number > 0)
        m_trackNumbers.push_back(number);
    m_input->SeekTo(after);
}

int64_t CMKVRepair::DamageCrossed(const Node* node) const
{
    // A stand-in Cluster reaches as far as its parent may, so random
    // damage that now and then holds two plausible blocks in a row would
    // have each such pair scan to the next element of the Segment, be
    // refused, and leave the Segment to scan the same stretch again. A
    // Cluster's blocks follow each other, and damage inside it is short
    // beside that: a long run is taken for the end of what the stand-in
    // holds, and the blocks after it get a stand-in of their own.
    return node->id == MKV_ID_CLUSTER && node->start == m_standInAt ? kStandInDamage : INT64_MAX;
}

bool CMKVRepair::KeepDamagedParent(Node* node, bool endsInDamage)
{
    if (!node->firstChild)
        return false;
    int64_t good = 0;
    int64_t bad = endsInDamage ? 1 : 0;
    for (Node* c = node->firstChild; c; c = c->next)
        (c->valid ? good : bad) += c->valid ? 1 + int64_t(c->joined) : 1;
    switch (node->id) {
    case MKV_ID_CLUSTER:
        // A Cluster keeps its good blocks while damaged stretches are at
        // most a third as many; one without its Timecode is dropped later,
        // with a record.
        return good >= 3 * bad;
    case MKV_ID_SEGMENT:
    case MKV_ID_INFO:
        // A damaged Info must not cost the whole file: the rebuild writes
        // the Info afresh with what it lacks.
        return good > 0;
    default:
        return false;
    }
}

bool CMKVRepair::ParentUsable(Node* node)
{
    if (node->id != MKV_ID_TRACKENTRY)
        return true;
    // A video track without its picture size (a Video element that lost it
    // is refused) leaves a decoder nothing to start from.
    const int64_t after = m_input->GetPos();
    uint64_t type = 0;
    const bool pictureLost = ReadUintElement(FindChild(node, MKV_ID_TRACKTYPE), &type) && type == 1 && !FindChild(node, MKV_ID_VIDEO);
    m_input->SeekTo(after);
    return !pictureLost && CodecPrivateFits(node);
}

namespace {

// An AVCDecoderConfigurationRecord: version 1, reserved bits set, at least
// one SPS and one PPS whose NAL headers say so, and nothing after them but
// the extension of the high profiles. Zeros in it leave a record that no
// decoder can start from.
bool AvcConfigFits(const uint8_t* b, size_t n)
{
    if (n < 7 || b[0] != 1 || (b[4] & 0xFC) != 0xFC || (b[5] & 0xE0) != 0xE0)
        return false;
    size_t at = 5;
    for (int kind = 7; kind <= 8; ++kind) {
        const unsigned int count = kind == 7 ? (b[at] & 0x1F) : b[at];
        ++at;
        if (count == 0)
            return false;
        for (unsigned int i = 0; i < count; ++i) {
            if (n - at < 2)
                return false;
            const size_t length = (static_cast<size_t>(b[at]) << 8) | b[at + 1];
            at += 2;
            if (length == 0 || length > n - at || (b[at] & 0x9F) != kind)
                return false;
            at += length;
        }
        if (kind == 7 && at >= n)
            return false;
    }
    // High profiles add four bytes and their SPS extensions; their reserved
    // bits are set.
    return at == n || (n - at >= 4 && (b[at] & 0xFC) == 0xFC && (b[at + 1] & 0xF8) == 0xF8);
}

}  // namespace

bool CMKVRepair::CodecPrivateFits(Node* entry)
{
    Node* codec = FindChild(entry, MKV_ID_CODECID);
    Node* priv = FindChild(entry, 0x63A2);
    char id[33] = {0};
    const int64_t idLength = codec ? static_cast<int64_t>(codec->size) : 0;
    if (!codec || idLength >= static_cast<int64_t>(sizeof(id)))
        return true;  // a codec this test does not know
    const int64_t after = m_input->GetPos();
    m_input->SeekTo(codec->end - idLength);
    bool known = m_input->Read(id, static_cast<unsigned int>(idLength)) == idLength;
    const bool avc = known && strcmp(id, "V_MPEG4/ISO/AVC") == 0;
    const bool opus = known && strcmp(id, "A_OPUS") == 0;
    bool fits = true;
    if (avc || opus) {
        // Both records are short; a longer one is left unjudged.
        const int64_t n = priv ? static_cast<int64_t>(priv->size) : 0;
        std::vector<uint8_t> bytes(static_cast<size_t>(std::min<int64_t>(n, 4096)));
        if (!priv) {
            // H.264 in Matroska carries its parameter sets here and nowhere
            // else; Opus decodes without its header.
            fits = !avc;
        } else if (n <= 4096) {
            m_input->SeekTo(priv->end - n);
            fits = m_input->Read(bytes.data(), static_cast<unsigned int>(n)) == n &&
                   (avc ? AvcConfigFits(bytes.data(), bytes.size())
                        : n >= 19 && memcmp(bytes.data(), "OpusHead", 8) == 0 && bytes[9] != 0);
        }
    }
    m_input->SeekTo(after);
    return fits;
}

CMKVRepair::Node* CMKVRepair::FindChild(Node* parent, unsigned int id) const
{
    for (Node* c = parent ? parent->firstChild : nullptr; c; c = c->next)
        if (c->id == id)
            return c;
    return nullptr;
}

CMKVRepair::Node* CMKVRepair::FindTop(unsigned int id) const
{
    for (Node* n = m_root->next; n; n = n->next)
        if (n->id == id)
            return n;
    return nullptr;
}

bool CMKVRepair::ReadUintElement(const Node* node, uint64_t* value)
{
    *value = 0;
    if (!node || !node->valid)
        return false;
    m_input->SeekTo(node->end - node->size);
    return ReadEbmlUint(static_cast<int>(std::min<long long>(node->size, 9)), value) == 0;
}

bool CMKVRepair::IsUnknownSize(const Node* node) const
{
    int idLen = GetIdLen(node->id);
    return idLen > 0 && IsUnknownSizeValue(node->declaredSize, node->headerLength - idLen);
}

void CMKVRepair::CheckSizes(Node* segment)
{
    // A size the header declares that does not match what follows; an
    // unknown size (a live recording) is no damage.
    auto check = [this](Node* n, int64_t extent) {
        if (!IsUnknownSize(n) && n->declaredSize != extent)
            AddErrorAt(JRVP_DAMAGE_INDEX, n->start);
    };
    check(segment, m_inputLength - (segment->start + segment->headerLength));
    for (Node* c = segment->firstChild; c; c = c->next) {
        if (c->id != MKV_ID_CLUSTER) {
            // Only the Segment and a Cluster may leave their size unknown;
            // any other parent of the Segment declares what it holds.
            const SNode* s = FindByIdS(c->id);
            if (s && s->firstChild && c->declaredSize != c->end - (c->start + c->headerLength))
                AddErrorAt(JRVP_DAMAGE_INDEX, c->start);
            for (Node* e = c->id == MKV_ID_TRACKS ? c->firstChild : nullptr; e; e = e->next)
                if (e->id == MKV_ID_TRACKENTRY && e->declaredSize != e->end - (e->start + e->headerLength))
                    AddErrorAt(JRVP_DAMAGE_INDEX, e->start);
            continue;
        }
        check(c, c->end - (c->start + c->headerLength));
        if (!FindChild(c, MKV_ID_TIMECODE))
            AddErrorAt(JRVP_DAMAGE_STRUCTURE, c->start);
    }
}

void CMKVRepair::CheckEbmlHeader(Node* ebml)
{
    if (!ebml)
        return;
    // libavformat refuses the file over a header whose size disagrees with
    // its content (an unknown size it reads through), or one that asks for more than
    // EBML version 1, ids of more than 4 bytes, sizes of more than 8 or a
    // DocTypeReadVersion above 3. The Segment behind it may be sound: the
    // rebuild writes a header that says what the file holds.
    static const struct {
        unsigned int id;
        uint64_t most;
    } kLimits[] = {{kEbmlReadVersion, 1}, {kEbmlMaxIdLength, 4}, {kEbmlMaxSizeLength, 8}, {kDocTypeReadVersion, 3}};
    bool refused = false;
    for (const auto& limit : kLimits) {
        uint64_t value = 0;
        refused = refused || (ReadUintElement(FindChild(ebml, limit.id), &value) && value > limit.most);
    }
    const bool sizeWrong = !IsUnknownSize(ebml) && ebml->declaredSize != ebml->end - (ebml->start + ebml->headerLength);
    if (sizeWrong)
        AddErrorAt(JRVP_DAMAGE_INDEX, ebml->start);
    // A damaged header has its record from the parse already.
    if (refused && ebml->valid)
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, ebml->start);
    m_freshEbmlHeader = refused || sizeWrong || !ebml->valid || ebml->rebuilt;
}

bool CMKVRepair::ReadBlockTime(const Node* child, uint64_t* track, int* time)
{
    Node* block = child->id == MKV_ID_SIMPLEBLOCK ? const_cast<Node*>(child)
                  : child->id == MKV_ID_BLOCKGROUP ? FindChild(const_cast<Node*>(child), MKV_ID_BLOCK)
                                                   : nullptr;
    if (!block || !block->valid || block->leftOut || block->joined)
        return false;
    return ReadBlockTimeAt(block->end - block->size, block->size, track, time);
}

bool CMKVRepair::ReadBlockTimeAt(int64_t payload, long long size, uint64_t* track, int* time)
{
    if (size < 4)
        return false;
    m_input->SeekTo(payload);
    long long number = 0;
    uint64_t rel = 0;
    if (ReadEbmlSize(number) != TREE_STEP_READ || number <= 0 || ReadEbmlUint(2, &rel) != 0)
        return false;
    *track = static_cast<uint64_t>(number);
    *time = static_cast<int16_t>(static_cast<uint16_t>(rel));
    return true;
}

template <typename F>
void CMKVRepair::ForEachBlockTime(const Node* child, F f)
{
    uint64_t track = 0;
    int time = 0;
    if (!child->joined) {
        if (ReadBlockTime(child, &track, &time))
            f(track, time);
        return;
    }
    if (!child->valid || child->leftOut)
        return;
    // Every element of the run was read as a SimpleBlock header and payload
    // back to back; a header that reads otherwise now ends the walk.
    int64_t at = child->start;
    for (uint64_t i = 0; i <= child->joined && at < child->end; ++i) {
        unsigned int id = 0;
        long long size = 0;
        int length = 0;
        if (PeekHeaderAt(at, &id, &size, &length) != TREE_STEP_READ || id != MKV_ID_SIMPLEBLOCK || size < 0 ||
            size > child->end - (at + length))
            return;
        at += length;
        if (ReadBlockTimeAt(at, size, &track, &time))
            f(track, time);
        at += size;
    }
}

CMKVRepair::Spans CMKVRepair::BlockSpans(const Node* cluster)
{
    Spans spans;
    for (const Node* c = cluster->firstChild; c; c = c->next) {
        ForEachBlockTime(c, [&spans](uint64_t track, int t) {
            TrackSpan& s = spans[track];
            if (s.first != INT32_MAX && t > s.prev)
                s.step = std::min(s.step, t - s.prev);
            s.first = std::min(s.first, t);
            s.last = std::max(s.last, t);
            s.prev = t;
        });
    }
    return spans;
}

bool CMKVRepair::ClusterTime(const Node* cluster, uint64_t* time)
{
    if (ReadUintElement(FindChild(const_cast<Node*>(cluster), MKV_ID_TIMECODE), time))
        return true;
    auto lost = m_lostTimes.find(cluster);
    if (lost == m_lostTimes.end())
        return false;
    *time = lost->second;
    return true;
}

bool CMKVRepair::EstimateLostTime(Node* cluster, uint64_t* time)
{
    // Only a Cluster beside one with a Timecode of its own is placed: its
    // blocks end one step before the next Cluster's of the same track, or
    // start one step after the previous Cluster's.
    auto neighbour = [this](Node* n, bool forward) -> Node* {
        for (n = forward ? n->next : n->prev; n; n = forward ? n->next : n->prev)
            if (n->id == MKV_ID_CLUSTER)
                return FindChild(n, MKV_ID_TIMECODE) ? n : nullptr;
        return nullptr;
    };
    Node* prev = neighbour(cluster, false);
    Node* next = neighbour(cluster, true);
    const Spans own = BlockSpans(cluster);
    uint64_t prevTime = 0;
    uint64_t nextTime = 0;
    if (prev && !ClusterTime(prev, &prevTime))
        prev = nullptr;
    if (next && !ClusterTime(next, &nextTime))
        next = nullptr;
    if (own.empty() || prevTime > INT32_MAX * 1024ULL || nextTime > INT32_MAX * 1024ULL)
        return false;
    // The smallest step either Cluster shows; laced blocks make the last
    // step before a Cluster boundary longer than one frame.
    auto stepOf = [](const TrackSpan& a, const TrackSpan& b) {
        int s = std::min(a.step, b.step);
        return s != INT32_MAX ? s : 1;
    };
    // The track with the finest step gives the estimate; the others bound it.
    bool found = false;
    int64_t t = 0;
    int finest = INT32_MAX;
    // The latest and earliest times that keep every shared track in order.
    int64_t upper = INT64_MAX;
    int64_t lower = prev ? static_cast<int64_t>(prevTime) : 0;
    if (next) {
        upper = static_cast<int64_t>(nextTime);
        for (const auto& kv : BlockSpans(next)) {
            auto o = own.find(kv.first);
            if (o == own.end())
                continue;
            int64_t ends = static_cast<int64_t>(nextTime) + kv.second.first - o->second.last;
            int step = stepOf(o->second, kv.second);
            if (!found || step < finest) {
                t = ends - step;
                finest = step;
            }
            upper = std::min(upper, ends - 1);
            found = true;
        }
    }
    if (prev) {
        bool fromPrev = !found;
        for (const auto& kv : BlockSpans(prev)) {
            auto o = own.find(kv.first);
            if (o == own.end())
                continue;
            int64_t starts = static_cast<int64_t>(prevTime) + kv.second.last - o->second.first;
            lower = std::max(lower, starts + 1);
            int step = stepOf(o->second, kv.second);
            if (fromPrev && (!found || step < finest)) {
                t = starts + step;
                finest = step;
                found = true;
            }
        }
    }
    // Reordered frames can leave no time that suits every track; then the
    // estimate stands as it is.
    if (found && lower <= upper)
        t = std::min(std::max(t, lower), upper);
    // Cluster times go forward; an estimate that would not is no estimate.
    if (!found || t < (prev ? static_cast<int64_t>(prevTime) : 0) || (next && t > static_cast<int64_t>(nextTime)))
        return false;
    *time = static_cast<uint64_t>(t);
    return true;
}

int64_t CMKVRepair::EstimateEnd(const std::vector<Node*>& clusters)
{
    // The end of the content: per track, the last block's time plus its
    // duration (given, or the distance to the track's block before it),
    // over the last two Clusters. Signed, so clusters out of order cannot
    // wrap it.
    struct TrackEnd {
        int64_t last = INT64_MIN;
        int64_t before = INT64_MIN;
        int64_t duration = -1;
    };
    std::map<uint64_t, TrackEnd> tracks;
    int64_t latestCluster = 0;
    size_t from = clusters.size() > 2 ? clusters.size() - 2 : 0;
    for (size_t i = from; i < clusters.size(); ++i) {
        uint64_t tc = 0;
        ClusterTime(clusters[i], &tc);
        int64_t clusterTime = static_cast<int64_t>(std::min<uint64_t>(tc, INT64_MAX / 2));
        latestCluster = std::max(latestCluster, clusterTime);
        for (Node* c = clusters[i]->firstChild; c; c = c->next) {
            ForEachBlockTime(c, [&](uint64_t track, int rel) {
                int64_t t = clusterTime + rel;
                uint64_t given = 0;
                bool hasDuration =
                    c->id == MKV_ID_BLOCKGROUP && ReadUintElement(FindChild(c, MKV_ID_BLOCKDURATION), &given);
                TrackEnd& e = tracks[track];
                if (t > e.last) {
                    e.before = e.last;
                    e.last = t;
                    e.duration = hasDuration ? static_cast<int64_t>(std::min<uint64_t>(given, INT64_MAX / 4)) : -1;
                } else if (t > e.before && t != e.last) {
                    e.before = t;
                }
            });
        }
    }
    int64_t end = latestCluster;
    for (const auto& kv : tracks) {
        const TrackEnd& e = kv.second;
        int64_t d = e.duration >= 0 ? e.duration : e.before != INT64_MIN ? e.last - e.before : 0;
        end = std::max(end, e.last + d);
    }
    return std::max<int64_t>(end, 0);
}

int CMKVRepair::CheckParsed()
{
    m_estimatedDuration = 0;
    m_duration = 0;
    m_durationAgrees = false;
    Node* segment = FindTop(MKV_ID_SEGMENT);
    if (!segment)
        return MEND_ERR_UNREPAIRABLE;
    CheckSizes(segment);
    CheckEbmlHeader(FindTop(MKV_ID_EBML));

    std::vector<Node*> clusters;
    bool anyCluster = false;
    for (Node* c = segment->firstChild; c; c = c->next) {
        if (c->id != MKV_ID_CLUSTER)
            continue;
        anyCluster = true;
        uint64_t lost = 0;
        if (FindChild(c, MKV_ID_TIMECODE)) {
            clusters.push_back(c);
        } else if (EstimateLostTime(c, &lost)) {
            m_lostTimes.emplace(c, lost);
            clusters.push_back(c);
        }
    }
    // Nothing to play and nothing to rebuild from.
    if (!anyCluster)
        return MEND_ERR_UNREPAIRABLE;
    int64_t est = EstimateEnd(clusters);
    m_estimatedDuration = static_cast<uint64_t>(est);

    Node* info = FindChild(segment, MKV_ID_INFO);
    uint64_t scale = 0;
    if (!ReadUintElement(FindChild(info, MKV_ID_TIMECODESCALE), &scale) || scale == 0)
        scale = kDefaultTimecodeScale;
    Node* duration = FindChild(info, MKV_ID_DURATION);
    bool readable = false;
    if (duration && duration->valid) {
        m_input->SeekTo(duration->end - duration->size);
        if (duration->size == 0) {
            readable = true;
        } else if (duration->size == 4) {
            uint32_t bits = 0;
            if (ReadFieldR(m_input.get(), bits)) {
                float f;
                memcpy(&f, &bits, sizeof(f));
                m_duration = f;
                readable = true;
            }
        } else if (duration->size == 8) {
            uint64_t bits = 0;
            if (ReadFieldR(m_input.get(), bits)) {
                memcpy(&m_duration, &bits, sizeof(m_duration));
                readable = true;
            }
        }
    }
    if (readable) {
        // Duration and timecodes are both in TimecodeScale units. A quarter
        // of a second, or one percent of a long file, is the slack of a
        // muxer's rounding and its last frame.
        double slack = std::max(250e6 / static_cast<double>(scale), 0.01 * static_cast<double>(est));
        m_durationAgrees = std::isfinite(m_duration) && std::fabs(m_duration - static_cast<double>(est)) <= slack;
        if (!m_durationAgrees)
            AddError(JRVP_DAMAGE_TIMING);
    } else if (duration || !IsUnknownSize(segment)) {
        // A finished file declares its duration; a live recording (unknown
        // Segment size) need not.
        AddError(JRVP_DAMAGE_TIMING);
    }
    return 0;
}

// --- the rebuild -----------------------------------------------------------

int CMKVRepair::AddBlank(int64_t n)
{
    static const uint8_t zeros[CBufferStream::kBufferSize] = {0};
    while (n > 0) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        unsigned int want = static_cast<unsigned int>(std::min<int64_t>(n, sizeof(zeros)));
        int r = WriteBytes(zeros, want);
        if (r < 0)
            return r;
        n -= want;
    }
    return 0;
}

int CMKVRepair::WriteDuration(double value)
{
    int r = AddIDAndSize(MKV_ID_DURATION, 8);
    if (r < 0)
        return r;
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return WriteFieldR(m_output, bits) ? 0 : MEND_ERR_WRITE;
}

int CMKVRepair::WriteString(unsigned int id, const char* text)
{
    unsigned int n = static_cast<unsigned int>(strlen(text));
    int r = AddIDAndSize(id, n);
    return r < 0 ? r : WriteBytes(reinterpret_cast<const uint8_t*>(text), n);
}

int CMKVRepair::WriteUint(unsigned int id, uint64_t value)
{
    uint8_t bytes[8];
    const unsigned int n = UintBytes(value, bytes);
    int r = AddIDAndSize(id, n);
    return r < 0 ? r : WriteBytes(bytes, n);
}

int CMKVRepair::WriteEbmlHeader(Node* ebml)
{
    // Version 1 of EBML with its usual limits, the file's DocType, and its
    // DocType versions where they are ones a reader knows; otherwise what
    // Debian's ffmpeg writes.
    uint64_t docVersion = 4;
    uint64_t docReadVersion = 2;
    uint64_t value = 0;
    if (ReadUintElement(FindChild(ebml, kDocTypeVersion), &value) && value >= 1 && value <= 4)
        docVersion = value;
    if (ReadUintElement(FindChild(ebml, kDocTypeReadVersion), &value) && value >= 1 && value <= 3)
        docReadVersion = value;
    docVersion = std::max(docVersion, docReadVersion);
    const std::string docType = m_docType.empty() ? "matroska" : m_docType;
    const struct {
        unsigned int id;
        uint64_t value;
    } fields[] = {{kEbmlVersion, 1},     {kEbmlReadVersion, 1},      {kEbmlMaxIdLength, 4},
                  {kEbmlMaxSizeLength, 8}, {kDocTypeVersion, docVersion}, {kDocTypeReadVersion, docReadVersion}};
    uint8_t scratch[8];
    int64_t size = GetHeaderLength(MKV_ID_DOCTYPE, static_cast<long long>(docType.size())) +
                   static_cast<int64_t>(docType.size());
    for (const auto& field : fields) {
        const unsigned int n = UintBytes(field.value, scratch);
        size += GetHeaderLength(field.id, n) + n;
    }
    int r = AddIDAndSize(MKV_ID_EBML, size);
    // DocType after the EBML fields, as the published order has it.
    for (size_t i = 0; i < 4 && r == 0; ++i)
        r = WriteUint(fields[i].id, fields[i].value);
    if (r == 0)
        r = WriteString(MKV_ID_DOCTYPE, docType.c_str());
    for (size_t i = 4; i < 6 && r == 0; ++i)
        r = WriteUint(fields[i].id, fields[i].value);
    return r;
}

int CMKVRepair::WriteSegmentInfo(Node* info, bool withDuration)
{
    Node* duration = FindChild(info, MKV_ID_DURATION);
    if (info && (!withDuration || (duration && m_durationAgrees && info->valid && !info->rebuilt)))
        return WriteNode(info);
    // Rebuilt (or, without one, written afresh) with the Duration of what
    // the file holds and the applications a player expects, its size the
    // sum of what is written.
    const bool muxingApp = FindChild(info, MKV_ID_MUXINGAPP) != nullptr;
    const bool writingApp = FindChild(info, MKV_ID_WRITINGAPP) != nullptr;
    const int64_t appElement = 3 + static_cast<int64_t>(strlen(kApplication));
    int64_t size = kDurationElementSize + (muxingApp ? 0 : appElement) + (writingApp ? 0 : appElement) +
                   (info ? 0 : kScaleElementSize);
    for (Node* c = info ? info->firstChild : nullptr; c; c = c->next)
        if (c->id != MKV_ID_DURATION && KeepInRebuiltParent(c))
            size += c->written;
    double value = m_durationAgrees ? m_duration : static_cast<double>(m_estimatedDuration);
    int r = AddIDAndSize(MKV_ID_INFO, size);
    if (r == 0 && !info) {
        // Timecodes were read at the default scale; say so.
        static const uint8_t scale[kScaleElementSize] = {0x2A, 0xD7, 0xB1, 0x83, 0x0F, 0x42, 0x40};
        r = WriteBytes(scale, sizeof(scale));
    }
    for (Node* c = info ? info->firstChild : nullptr; c && r == 0; c = c->next) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (c->id == MKV_ID_DURATION)
            r = WriteDuration(value);
        else if (KeepInRebuiltParent(c))
            r = WriteNode(c);
    }
    if (r == 0 && !duration)
        r = WriteDuration(value);
    if (r == 0 && !muxingApp)
        r = WriteString(MKV_ID_MUXINGAPP, kApplication);
    if (r == 0 && !writingApp)
        r = WriteString(MKV_ID_WRITINGAPP, kApplication);
    return r;
}

int CMKVRepair::WriteSeekEntries(int64_t at, int64_t reserved,
                                 const std::vector<std::pair<unsigned int, int64_t>>& entries)
{
    int64_t end = m_output->GetPos();
    m_output->SeekTo(at);
    for (const auto& e : entries) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int r = AddIDAndSize(MKV_ID_SEEK, 18);
        if (r == 0)
            r = AddIDAndSize(MKV_ID_SEEKID, 4);
        if (r == 0)
            r = WriteFieldR(m_output, static_cast<uint32_t>(e.first)) ? 0 : MEND_ERR_WRITE;
        if (r == 0)
            r = AddIDAndSize(MKV_ID_SEEKPOSITION, 8);
        if (r == 0)
            r = WriteFieldR(m_output, static_cast<uint64_t>(e.second)) ? 0 : MEND_ERR_WRITE;
        if (r < 0)
            return r;
    }
    // Space reserved for entries that were not written is padding, never
    // bytes that read as broken elements.
    int64_t rest = reserved - static_cast<int64_t>(entries.size()) * kSeekEntrySize;
    if (rest > 0) {
        int r = MEND_ERR_REPAIR_REFUSED;
        for (int w = 1; w <= 8 && r == MEND_ERR_REPAIR_REFUSED; ++w) {
            int64_t payload = rest - 1 - w;
            if (payload >= 0 && GetSizeLen(payload) == w) {
                r = AddIDAndSize(MKV_ID_VOID, payload);
                if (r == 0)
                    r = AddBlank(payload);
            }
        }
        if (r < 0)
            return r;
    }
    m_output->SeekTo(end);
    return 0;
}

int CMKVRepair::WriteTimedCluster(Node* cluster, uint64_t time)
{
    uint8_t bytes[8];
    const unsigned int n = UintBytes(time, bytes);
    const int timecodeLength = GetHeaderLength(MKV_ID_TIMECODE, n) + static_cast<int>(n);
    int r = AddIDAndSize(MKV_ID_CLUSTER, static_cast<long long>(cluster->size) + timecodeLength);
    if (r >= 0)
        r = AddIDAndSize(MKV_ID_TIMECODE, n);
    if (r >= 0)
        r = WriteBytes(bytes, n);
    if (r >= 0)
        r = WriteChildren(cluster->firstChild);
    return r < 0 ? r : 0;
}

int CMKVRepair::RepairLevel1()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (!m_output)
        return MEND_ERR_NO_STREAM;
    Node* ebml = FindTop(MKV_ID_EBML);
    Node* segment = FindTop(MKV_ID_SEGMENT);
    if (!ebml || !segment)
        return MEND_ERR_REPAIR_REFUSED;

    // What is written, kind by kind, each in document order: the old
    // SeekHead, Cues, padding and damage are left behind.
    static const unsigned int kOrder[] = {MKV_ID_INFO,     MKV_ID_TRACKS,  MKV_ID_CHAPTERS,
                                          MKV_ID_ATTACHMENTS, MKV_ID_CLUSTER, MKV_ID_TAGS};
    std::vector<Node*> kinds[sizeof(kOrder) / sizeof(kOrder[0])];
    size_t count = 0;
    for (Node* c = segment->firstChild; c; c = c->next) {
        if (!c->valid && !c->firstChild)
            continue;
        // A Cluster without its Timecode, and none its neighbours give,
        // has no time to give its blocks.
        uint64_t time = 0;
        if (c->id == MKV_ID_CLUSTER && !ClusterTime(c, &time))
            continue;
        for (size_t k = 0; k < sizeof(kOrder) / sizeof(kOrder[0]); ++k) {
            if (kOrder[k] == c->id) {
                kinds[k].push_back(c);
                ++count;
            }
        }
    }
    // Without track descriptions no player can read the blocks: a copy
    // whose Tracks kept no entry would not open.
    bool anyTrack = false;
    for (Node* tracks : kinds[1])
        for (Node* e = tracks->firstChild; e && !anyTrack; e = e->next)
            anyTrack = e->id == MKV_ID_TRACKENTRY && !e->leftOut;
    if (!anyTrack)
        return MEND_ERR_UNREPAIRABLE;
    // Without an Info one is written afresh.
    const bool freshInfo = kinds[0].empty();
    if (freshInfo)
        ++count;

    int r = m_freshEbmlHeader ? WriteEbmlHeader(ebml) : WriteNode(ebml);
    if (r < 0)
        return r;
    r = AddIDAndSize(MKV_ID_SEGMENT, kSegmentSizePlaceholder);
    if (r < 0)
        return r;
    m_segmentDataStart = m_output->GetPos();
    const int64_t reserved = static_cast<int64_t>(count) * kSeekEntrySize;
    r = AddIDAndSize(MKV_ID_SEEKHEAD, reserved);
    if (r < 0)
        return r;
    int64_t seekAt = m_output->GetPos();
    r = AddBlank(reserved);
    if (r < 0)
        return r;

    std::vector<std::pair<unsigned int, int64_t>> entries;
    entries.reserve(count);
    if (freshInfo) {
        entries.emplace_back(MKV_ID_INFO, m_output->GetPos() - m_segmentDataStart);
        r = WriteSegmentInfo(nullptr, true);
        if (r < 0)
            return r;
    }
    for (size_t k = 0; k < sizeof(kOrder) / sizeof(kOrder[0]); ++k) {
        bool first = true;
        for (Node* e : kinds[k]) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            entries.emplace_back(e->id, m_output->GetPos() - m_segmentDataStart);
            uint64_t time = 0;
            if (e->id == MKV_ID_INFO)
                r = WriteSegmentInfo(e, first);
            else if (e->id == MKV_ID_CLUSTER && !FindChild(e, MKV_ID_TIMECODE) && ClusterTime(e, &time))
                r = WriteTimedCluster(e, time);
            else
                r = WriteNode(e);
            if (r < 0)
                return r;
            first = false;
        }
    }
    r = WriteSeekEntries(seekAt, reserved, entries);
    if (r < 0)
        return r;

    int64_t end = m_output->GetLength();
    m_output->SeekTo(m_segmentDataStart - 8);
    uint64_t sizeField = static_cast<uint64_t>(end - m_segmentDataStart) | (1ULL << 56);
    if (!WriteFieldR(m_output, sizeField))
        return MEND_ERR_WRITE;
    m_output->SeekTo(end);

    SolveError(JRVP_DAMAGE_TIMING);
    SolveError(JRVP_DAMAGE_STRUCTURE);
    SolveError(JRVP_DAMAGE_INDEX);
    SolveError(JRVP_DAMAGE_SEGMENT);
    return 0;
}
