#include "tree/RMVBRepair.h"

#include <string.h>

#include <algorithm>
#include <memory>

#include "core/DataParser.h"
#include "core/SizeMend.h"
#include "core/StreamIO.h"

namespace {

constexpr int64_t kRmfSize = 18;  // id, size, version, file version, header count
constexpr int64_t kPropSize = 50;
constexpr int64_t kDataHeaderSize = 18;  // id, size, version, count, next header
constexpr int64_t kIndexHeaderSize = 20;
constexpr int64_t kIndexRecordSize = 14;
// Writers end a file with a few zero bytes (ffmpeg: an empty chunk header).
constexpr int64_t kMaxTailPadding = 16;
// Fewer bytes than this after a packet cannot hold a packet worth keeping.
constexpr int64_t kShortTail = 32;
// A packet's key-frame flag, in the last byte of its header.
constexpr unsigned int kKeyFrameFlag = 0x02;

uint32_t BE32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

unsigned int BE16(const uint8_t* p)
{
    return static_cast<unsigned int>(p[0]) << 8 | p[1];
}

}  // namespace

CRMVBRepair::CRMVBRepair(IBaseStream* in) : TBaseRepair(in)
{
    m_schema = &RmSchema();
    m_format = JRVP_FORMAT_RMVB;
}

CRMVBRepair::~CRMVBRepair() = default;

void CRMVBRepair::Close()
{
    m_streams.clear();
    m_chunks.clear();
    m_packets.clear();
    m_propUsable = false;
    m_contUsable = false;
    TBaseRepair::Close();
}

bool CRMVBRepair::CheckFileFormat()
{
    if (!m_input || m_input->SeekTo(0) != 0)
        return false;
    if (ParseLabel() != TREE_STEP_READ)
        return false;
    return m_root->next && m_root->next->id == RM_ID_RMF;
}

int CRMVBRepair::CheckIdAndSizeValid(const unsigned int& id, const unsigned int& size) const
{
    if (!FindByIdS(id))
        return -1;
    if (id == RM_ID_DATA)
        return 0;  // its size is a hint, zero included
    if (size < 8 || static_cast<int64_t>(size) > m_inputLength)
        return -1;
    return 0;
}

int CRMVBRepair::ReadIdAndSize(unsigned int& id, unsigned int& size)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const int64_t at = m_input->GetPos();
    if (m_inputLength - at < 8) {
        m_input->SeekTo(m_inputLength);
        return TREE_STEP_END;
    }
    if (!ReadField(m_input.get(), id) || !ReadFieldR(m_input.get(), size))
        return MEND_ERR_READ;
    const int64_t fixed = id == RM_ID_PROP ? kPropSize : id == RM_ID_RMF ? kRmfSize : 0;
    if (fixed && size != fixed && !m_mendingProp) {
        m_mendingProp = true;
        const int r = MendFixedSize(at, fixed, size);
        m_mendingProp = false;
        if (r < 0)
            return r;
        if (m_input->SeekTo(at + 8) != at + 8)
            return MEND_ERR_READ;
    }
    if (CheckIdAndSizeValid(id, size) != 0) {
        m_input->SeekTo(at);
        return TREE_STEP_INVALID;
    }
    size = size >= 8 ? size - 8 : 0;
    return TREE_STEP_READ;
}

// The file header and the file properties have fixed fields (18 and 50
// bytes with the header in the one version written); a size that disagrees
// is broken, and the chunk ends where the next sound chunk begins after its
// version field. libavformat reads the fields and plays such a file; the
// repair writes the true size.
int CRMVBRepair::MendFixedSize(int64_t at, int64_t fixed, unsigned int& size)
{
    auto fits = [this](int64_t x, bool& yes) {
        if (TestAbort())
            return static_cast<int>(MEND_ERR_ABORTED);
        if (!Step())
            return static_cast<int>(MEND_ERR_UNREPAIRABLE);
        return ChunkAt(x, &yes);
    };
    // Only as far as the fixed fields reach: a PROP id met by chance in
    // damage costs a few steps, never a scan of the file.
    const int64_t limit = std::min(m_inputLength, at + fixed + 8);
    int64_t end = limit;
    if (int r = sizemend::NextSoundUnit(at + 10, limit, 8, fits, end); r < 0)
        return r;
    if (end < limit)
        size = static_cast<unsigned int>(end - at);
    return 0;
}

int CRMVBRepair::AddIDAndSize(unsigned int id, unsigned int size)
{
    if (!m_output)
        return MEND_ERR_NO_STREAM;
    if (!WriteField(m_output, id) || !WriteFieldR(m_output, size))
        return MEND_ERR_WRITE;
    return 0;
}

int CRMVBRepair::ParseLabelChild(unsigned int id, unsigned int size, int64_t start, Node*& node, const SNode* snode)
{
    if (id != RM_ID_DATA)
        return TBaseRepair::ParseLabelChild(id, size, start, node, snode);
    if (!Step())
        return MEND_ERR_UNREPAIRABLE;
    return ParseDataChunk(size, start, node);
}

size_t CRMVBRepair::FirstCandidate(const uint8_t* bytes, size_t n, size_t, int64_t, uint64_t* steps)
{
    // A header read anywhere else finds an id outside the schema and takes
    // nothing; each such position costs the top-level scan one step.
    size_t i = 0;
    for (; i < n; ++i) {
        unsigned int id = 0;
        memcpy(&id, bytes + i, 4);
        if (FindByIdS(id))
            break;
    }
    *steps = i;
    return i;
}

int CRMVBRepair::InitStreamMap()
{
    m_streams.clear();
    for (Node* n = FindById(RM_ID_MDPR, m_root); n; n = n->next ? FindById(RM_ID_MDPR, n->next) : nullptr) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!n->valid)
            continue;
        // Stream number at 10; name at 40; then MIME type and the
        // type-specific data, whose video form is a size, "VIDO", FourCC.
        uint8_t buf[600] = {0};
        const int64_t avail = std::min<int64_t>(n->end - n->start, sizeof(buf));
        if (m_input->SeekTo(n->start) != n->start || m_input->Read(buf, static_cast<unsigned int>(avail)) != avail)
            return MEND_ERR_READ;
        if (avail < 41)
            continue;
        Stream s;
        s.mdpr = n;
        const unsigned int number = BE16(buf + 10);
        // Name, MIME type and type-specific data must fill the chunk
        // exactly. A chunk whose content is damaged describes no stream a
        // player could read: its packets are still known for what they are
        // (not damage), but they are left out of the rebuild.
        if (m_streams.count(number))
            continue;
        s.usable = false;
        int64_t p = 40;
        const unsigned int nameLen = buf[p++];
        if (p + nameLen + 1 <= avail) {
            s.name.assign(reinterpret_cast<const char*>(buf + p), nameLen);
            p += nameLen;
            const unsigned int mimeLen = buf[p++];
            if (mimeLen > 0 && p + mimeLen + 4 <= avail) {
                s.mime.assign(reinterpret_cast<const char*>(buf + p), mimeLen);
                p += mimeLen;
                const int64_t specific = BE32(buf + p);
                p += 4;
                s.usable = specific == n->end - n->start - p;
                if (s.usable && p + 12 <= avail && memcmp(buf + p + 4, "VIDO", 4) == 0)
                    memcpy(&s.fourcc, buf + p + 8, 4);
            }
        }
        m_streams[number] = std::move(s);
    }
    return 0;
}

bool CRMVBRepair::IsVideo(const Stream& s) const
{
    // ffmpeg names its stream "The Video Stream"; the MIME type says it for
    // any writer. A logical stream (a choice among several) is not one.
    if (s.mime.find("logical") != std::string::npos)
        return false;
    return s.mime == "video/x-pn-realvideo" || s.name.find("Video Stream") != std::string::npos;
}

bool CRMVBRepair::ReadPacketHeader(int64_t at, PacketHeader& h)
{
    if (at < 0 || m_inputLength - at < 10)
        return false;
    uint8_t b[13] = {0};
    const unsigned int want = static_cast<unsigned int>(std::min<int64_t>(13, m_inputLength - at));
    if (m_input->SeekTo(at) != at || m_input->Read(b, want) != want)
        return false;
    h.version = BE16(b);
    h.length = BE16(b + 2);
    h.stream = BE16(b + 4);
    h.timestamp = BE32(b + 6);
    const unsigned int flagsAt = h.version == 1 ? 12 : 11;
    h.flags = flagsAt < want ? b[flagsAt] : 0;
    return true;
}

bool CRMVBRepair::HeaderPasses(int64_t at, const PacketHeader& h, bool mustFit) const
{
    if (h.version > 1 || h.length < 12 + h.version)
        return false;
    if (m_streams.find(h.stream) == m_streams.end())
        return false;
    return !mustFit || static_cast<int64_t>(h.length) <= m_inputLength - at;
}

bool CRMVBRepair::IsTailPadding(int64_t at)
{
    const int64_t rest = m_inputLength - at;
    if (rest <= 0 || rest > kMaxTailPadding)
        return false;
    uint8_t b[kMaxTailPadding] = {0};
    if (m_input->SeekTo(at) != at || m_input->Read(b, static_cast<unsigned int>(rest)) != rest)
        return false;
    for (int64_t i = 0; i < rest; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

int CRMVBRepair::ChunkAt(int64_t at, bool* yes)
{
    *yes = false;
    if (m_input->SeekTo(at) != at)
        return 0;
    unsigned int id = 0, size = 0;
    int r = ReadIdAndSize(id, size);
    if (r < 0)
        return r;
    if (r != TREE_STEP_READ)
        return 0;
    const int64_t after = at + 8 + static_cast<int64_t>(size);
    if (id != RM_ID_DATA && after > m_inputLength)
        return 0;
    if (id == RM_ID_DATA) {
        // Packets follow a DATA header: its version must be 0.
        uint16_t version = 1;
        *yes = ReadFieldR(m_input.get(), version) && version == 0;
        return 0;
    }
    if (after == m_inputLength || IsTailPadding(after)) {
        *yes = true;
        return 0;
    }
    m_input->SeekTo(after);
    unsigned int nid = 0, nsize = 0;
    r = ReadIdAndSize(nid, nsize);
    if (r < 0)
        return r;
    *yes = r == TREE_STEP_READ;
    return 0;
}

int CRMVBRepair::FollowerConfirms(int64_t at, int depth)
{
    if (at == m_inputLength || IsTailPadding(at))
        return 1;
    PacketHeader h;
    if (!ReadPacketHeader(at, h))
        return 0;
    if (h.version > 1) {
        bool yes = false;
        int r = ChunkAt(at, &yes);
        return r < 0 ? r : (yes ? 1 : 0);
    }
    if (!HeaderPasses(at, h, depth > 1))
        return 0;
    if (depth <= 1)
        return 1;
    return FollowerConfirms(at + h.length, depth - 1);  // depth is at most 2
}

int CRMVBRepair::IsDataPacket(int64_t at, PacketHeader& h, bool chained, bool* yes)
{
    *yes = false;
    if (!ReadPacketHeader(at, h) || !HeaderPasses(at, h, true))
        return 0;
    const int64_t next = at + h.length;
    // After damage two headers after it (or a chunk, or the end) must read
    // as well: noise rarely passes three tests in a row. Right after a
    // packet that was accepted, the chain so far vouches for the header and
    // one more test will do; and a last packet followed by a few stray
    // bytes is still the last packet (the stray bytes are the damage).
    int r = FollowerConfirms(next, chained ? 1 : 2);
    if (r < 0)
        return r;
    *yes = r == 1 || (chained && m_inputLength - next < kShortTail);
    return 0;
}

int CRMVBRepair::ParseDataChunk(unsigned int size, int64_t start, Node*& node)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const int64_t pos = m_input->GetPos();
    uint16_t version = 0;
    uint32_t count = 0, next = 0;
    if (!ReadFieldR(m_input.get(), version) || !ReadFieldR(m_input.get(), count) || !ReadFieldR(m_input.get(), next))
        return TREE_STEP_INVALID;
    if (version != 0)
        return TREE_STEP_INVALID;
    int r = InitStreamMap();
    if (r < 0)
        return r;
    const int64_t declaredEnd = std::min<int64_t>(pos + size, m_inputLength);
    node = AddNewNode(RM_ID_DATA, start, declaredEnd, size);
    if (!node)
        return TREE_STEP_INVALID;

    DataChunk chunk;
    chunk.node = node;
    std::vector<RmvbPacketInfo> found;
    bool runOpen = false;
    int64_t runStart = 0;
    int64_t damaged = 0;
    RmvbPacketInfo provisional;
    bool hasProvisional = false;
    int64_t p = pos + 10;
    while (p < m_inputLength) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!Step())
            return MEND_ERR_UNREPAIRABLE;
        PacketHeader h;
        bool yes = false;
        const bool chained = !runOpen && !found.empty() && found.back().end == p;
        r = IsDataPacket(p, h, chained, &yes);
        if (r < 0)
            return r;
        if (yes) {
            if (runOpen) {
                chunk.damaged.emplace_back(runStart, p);
                damaged += p - runStart;
                runOpen = false;
            }
            RmvbPacketInfo info;
            info.start = p;
            info.end = p + h.length;
            info.stream = h.stream;
            info.timestamp = h.timestamp;
            info.key = (h.flags & kKeyFrameFlag) != 0;
            found.push_back(info);
            p = info.end;
            continue;
        }
        if (!runOpen && IsTailPadding(p)) {
            // Padding after the last packet: part of the chunk, not damage,
            // and not copied.
            p = m_inputLength;
            break;
        }
        if (chained && !runOpen && ReadPacketHeader(p, h) && HeaderPasses(p, h, true)) {
            // Its header reads, but nothing after it confirms its length:
            // garbage inside it, or damage after it. Only damage that runs
            // to the end of the file tells the second.
            provisional.start = p;
            provisional.end = p + h.length;
            provisional.stream = h.stream;
            provisional.timestamp = h.timestamp;
            provisional.key = (h.flags & kKeyFrameFlag) != 0;
            hasProvisional = true;
        }
        bool chunkHere = false;
        r = ChunkAt(p, &chunkHere);
        if (r < 0)
            return r;
        if (chunkHere)
            break;
        if (!runOpen) {
            runOpen = true;
            runStart = p;
        }
        const int64_t next = NextCandidate(p + 1);
        if (next < 0)
            return static_cast<int>(next);
        p = next;
    }
    // Damage that runs to the end of the input lies after the chunk, not in
    // it (a cut, trailing garbage): it does not count against the chunk.
    bool tailDamage = false;
    if (runOpen) {
        tailDamage = true;
        p = runStart;
        if (hasProvisional && provisional.start == runStart) {
            found.push_back(provisional);
            p = provisional.end;
        }
    }
    // At most a fifth of the chunk may be damage; more, and the chunk is
    // taken for damage itself, its packets with it. A chunk without packets
    // and without damage is no damage: a writer may end one chunk and open
    // the next before the last packet came. It holds nothing to copy.
    const int64_t span = p - start;
    if (damaged > span / 5) {
        DeleteNode(node);
        node = nullptr;
        return TREE_STEP_INVALID;
    }
    node->end = p;
    node->size = static_cast<unsigned int>(std::min<int64_t>(p - pos, UINT32_MAX));
    chunk.firstPacket = m_packets.size();
    chunk.packetCount = found.size();
    m_packets.insert(m_packets.end(), found.begin(), found.end());
    m_chunks.push_back(std::move(chunk));
    if (tailDamage) {
        if (!AddInvalidNode(p, m_inputLength))
            return MEND_ERR_NO_MEMORY;
        p = m_inputLength;
    }
    m_input->SeekTo(p);
    return TREE_STEP_READ;
}

namespace {

bool ZeroWord(const uint8_t* b)
{
    uint64_t w;
    memcpy(&w, b, sizeof(w));
    return w == 0;
}

}  // namespace

int64_t CRMVBRepair::NextCandidate(int64_t from)
{
    // Damage is passed over in memory: a packet header starts with version
    // 0 or 1, a length of at least 12 and a known stream; a chunk with an
    // id of the schema. Anything else is skipped without a stream call.
    // Blocks grow while the scan goes on: a short stretch of damage costs
    // a short read, a long one few large ones.
    constexpr int64_t kBlockMax = 1 << 20;
    constexpr int64_t kReach = 8;
    int64_t block = 1 << 16;
    int64_t p = from;
    while (m_inputLength - p >= kReach) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = std::min(block + kReach - 1, m_inputLength - p);
        block = std::min(block * 2, kBlockMax);
        if (m_scan.size() < static_cast<size_t>(n))
            m_scan.resize(static_cast<size_t>(n));
        if (m_input->SeekTo(p) != p || m_input->Read(m_scan.data(), static_cast<unsigned int>(n)) != n)
            return p;  // read one by one where the block cannot be
        const uint8_t* b = m_scan.data();
        const int64_t testable = n - kReach + 1;
        for (int64_t i = 0; i < testable; ++i) {
            // Through zeros eight positions at a time: a packet header
            // needs a length of at least 12 two bytes on, an id a letter.
            while (i + 16 <= testable && ZeroWord(b + i) && ZeroWord(b + i + 3))
                i += 8;
            const uint8_t* h = b + i;
            bool candidate = h[0] == 0 && h[1] <= 1 && BE16(h + 2) >= 12 && m_streams.count(BE16(h + 4)) != 0;
            if (!candidate && (h[0] == '.' || h[0] == 'P' || h[0] == 'M' || h[0] == 'C' || h[0] == 'D' ||
                               h[0] == 'I' || h[0] == 'R')) {
                unsigned int id = 0;
                memcpy(&id, h, 4);
                candidate = FindByIdS(id) != nullptr;
            }
            if (candidate) {
                if (!Steps(static_cast<uint64_t>(i)))
                    return MEND_ERR_UNREPAIRABLE;
                return p + i;
            }
        }
        if (!Steps(static_cast<uint64_t>(testable)))
            return MEND_ERR_UNREPAIRABLE;
        p += testable;
    }
    return p;
}

bool CRMVBRepair::UsableMdpr(const Node* n) const
{
    for (const auto& s : m_streams)
        if (s.second.mdpr == n)
            return s.second.usable;
    return false;
}

uint32_t CRMVBRepair::LastTimestamp(int stream) const
{
    uint32_t last = 0;
    for (const RmvbPacketInfo& pk : m_packets)
        if (stream < 0 || pk.stream == static_cast<unsigned int>(stream))
            last = std::max(last, pk.timestamp);
    return last;
}

int CRMVBRepair::CheckParsed()
{
    // Chunks refused after they were read have left the tree: keep only
    // those still in it, with their packets.
    {
        std::vector<DataChunk> kept;
        std::vector<RmvbPacketInfo> packets;
        for (DataChunk& c : m_chunks) {
            bool inTree = false;
            for (Node* n = m_root->next; n && !inTree; n = n->next)
                inTree = n == c.node;
            if (!inTree)
                continue;
            const size_t first = packets.size();
            for (size_t i = c.firstPacket; i < c.firstPacket + c.packetCount; ++i) {
                auto s = m_streams.find(m_packets[i].stream);
                if (s != m_streams.end() && s->second.usable)
                    packets.push_back(m_packets[i]);
            }
            c.firstPacket = first;
            c.packetCount = packets.size() - first;
            for (const auto& d : c.damaged)
                AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(d.first, d.second));
            if (!c.damaged.empty())
                AddErrorAt(JRVP_DAMAGE_STRUCTURE, c.node->start);
            // A chunk left without packets has nothing to copy: the copy
            // leaves it out.
            if (c.packetCount != 0)
                kept.push_back(std::move(c));
        }
        m_chunks.swap(kept);
        m_packets.swap(packets);
    }
    // A check that fails leaves a record with its result, so that the
    // records, the parse's result and a repair asked for anyway agree: the
    // repair refuses (-14) rather than skip a file that "has no damage".
    if (m_chunks.empty() || m_packets.empty()) {
        AddError(JRVP_DAMAGE_DATA_LOST);
        return MEND_ERR_UNREPAIRABLE;
    }
    Node* prop = FindById(RM_ID_PROP, m_root);
    if (!prop || !prop->valid || prop->end - prop->start != kPropSize) {
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, prop ? prop->start : 0);
        return MEND_ERR_UNREPAIRABLE;
    }
    // A size field that the parse had to mend is damage the copy mends.
    uint32_t declaredSize = 0;
    if (m_input->SeekTo(prop->start + 4) != prop->start + 4 || !ReadFieldR(m_input.get(), declaredSize))
        return MEND_ERR_READ;
    if (declaredSize != kPropSize)
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, prop->start);
    uint32_t duration = 0;
    uint32_t indexOffset = 0;
    if (m_input->SeekTo(prop->start + 30) != prop->start + 30 || !ReadFieldR(m_input.get(), duration) ||
        m_input->SeekTo(prop->start + 38) != prop->start + 38 || !ReadFieldR(m_input.get(), indexOffset))
        return MEND_ERR_READ;
    m_propUsable = true;
    const uint32_t last = LastTimestamp(-1);
    const uint64_t slack = static_cast<uint64_t>(last) + 3000;
    if (duration < last || duration > std::min<uint64_t>(slack, UINT32_MAX))
        AddError(JRVP_DAMAGE_TIMING);
    // A writer that never wrote an index says so with an index offset of 0
    // (ffmpeg does): such a file is intact. An index declared but not found
    // is damage.
    if (!FindById(RM_ID_INDX, m_root) && indexOffset != 0)
        AddError(JRVP_DAMAGE_INDEX);
    for (Node* n = FindById(RM_ID_MDPR, m_root); n; n = n->next ? FindById(RM_ID_MDPR, n->next) : nullptr)
        if (!UsableMdpr(n))
            AddErrorAt(JRVP_DAMAGE_STRUCTURE, n->start);
    Node* rmf = FindById(RM_ID_RMF, m_root);
    uint32_t rmfSize = 0;
    if (rmf && (m_input->SeekTo(rmf->start + 4) != rmf->start + 4 || !ReadFieldR(m_input.get(), rmfSize)))
        return MEND_ERR_READ;
    if (rmf && rmfSize != rmf->end - rmf->start)
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, rmf->start);
    Node* cont = FindById(RM_ID_CONT, m_root);
    if (cont && cont->valid) {
        int r = CheckContent(cont);
        if (r < 0)
            return r;
        m_contUsable = r == 1;
        if (!m_contUsable)
            AddErrorAt(JRVP_DAMAGE_STRUCTURE, cont->start);
    }
    return 0;
}

// The content description is four strings, each after its 16-bit length,
// that fill the chunk exactly: a length that runs past it (libavformat
// then reads the chunks after it as text and refuses the file) or stops
// short of it is damage. 1 when they fill it, 0 when not.
int CRMVBRepair::CheckContent(const Node* cont)
{
    int64_t p = cont->start + 10;
    for (int i = 0; i < 4; ++i) {
        uint16_t length = 0;
        if (cont->end - p < 2)
            return 0;
        if (m_input->SeekTo(p) != p || !ReadFieldR(m_input.get(), length))
            return MEND_ERR_READ;
        p += 2;
        if (length > cont->end - p)
            return 0;
        p += length;
    }
    return p == cont->end ? 1 : 0;
}

int CRMVBRepair::PatchU32(int64_t at, uint32_t value)
{
    const int64_t end = m_output->GetLength();
    if (m_output->SeekTo(at) != at || !WriteFieldR(m_output, value))
        return MEND_ERR_WRITE;
    if (m_output->SeekTo(end) != end)
        return MEND_ERR_WRITE;
    return 0;
}

int CRMVBRepair::WriteIndex(const std::vector<uint32_t>& outOffsets, std::vector<int64_t>* indexStarts)
{
    // The video stream gets its key frames, every other stream every
    // packet. The packet header's flag says which frames are key; only for
    // a stream whose writer set none is the codec's parser asked.
    int video = -1;
    unsigned int fourcc = 0;
    for (const auto& s : m_streams) {
        if (s.second.usable && IsVideo(s.second)) {
            video = static_cast<int>(s.first);
            fourcc = s.second.fourcc;
            break;
        }
    }
    bool flagged = false;
    for (const RmvbPacketInfo& pk : m_packets)
        flagged = flagged || (static_cast<int>(pk.stream) == video && pk.key);
    std::unique_ptr<CDataParser> parser;
    bool parserOk = false;
    if (video >= 0 && !flagged) {
        const AVCodecID codec = fourcc ? RmCodecOf(fourcc) : AV_CODEC_ID_NONE;
        if (codec != AV_CODEC_ID_NONE)
            parser = std::make_unique<CDataParser>(codec, parserOk);
        if (parser && parser->LibraryMissing())
            return MEND_ERR_NO_CODEC_LIBRARY;
    }
    struct Record {
        uint32_t timestamp, offset, number;
    };
    std::map<unsigned int, std::vector<Record>> records;
    std::vector<unsigned char> payload;
    for (size_t i = 0; i < m_packets.size(); ++i) {
        if ((i & 0xFFF) == 0 && TestAbort())
            return MEND_ERR_ABORTED;
        const RmvbPacketInfo& pk = m_packets[i];
        bool indexed = true;
        if (static_cast<int>(pk.stream) == video) {
            if (flagged) {
                indexed = pk.key;
            } else if (parserOk) {
                PacketHeader h;
                if (!ReadPacketHeader(pk.start, h))
                    return MEND_ERR_READ;
                const int64_t skip = 12 + static_cast<int64_t>(h.version);
                const int64_t n = pk.end - pk.start - skip;
                if (n > 0) {
                    payload.resize(static_cast<size_t>(n));
                    if (m_input->SeekTo(pk.start + skip) != pk.start + skip ||
                        m_input->Read(payload.data(), static_cast<unsigned int>(n)) != n)
                        return MEND_ERR_READ;
                    int key = 1;
                    parser->CheckIsKeyFrame(payload.data(), static_cast<int>(n), key);
                    indexed = key != 0;
                }
            }
        }
        if (indexed)
            records[pk.stream].push_back(Record{pk.timestamp, outOffsets[i], static_cast<uint32_t>(i)});
    }
    size_t left = records.size();
    for (const auto& s : records) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t c = m_output->GetPos();
        const int64_t size = kIndexHeaderSize + kIndexRecordSize * static_cast<int64_t>(s.second.size());
        const uint32_t next = --left > 0 ? static_cast<uint32_t>(c + size) : 0;
        indexStarts->push_back(c);
        int r = AddIDAndSize(RM_ID_INDX, static_cast<unsigned int>(size));
        if (r < 0)
            return r;
        if (!WriteFieldR(m_output, uint16_t(0)) || !WriteFieldR(m_output, static_cast<uint32_t>(s.second.size())) ||
            !WriteFieldR(m_output, static_cast<uint16_t>(s.first)) || !WriteFieldR(m_output, next))
            return MEND_ERR_WRITE;
        for (const Record& rec : s.second) {
            if (!WriteFieldR(m_output, uint16_t(0)) || !WriteFieldR(m_output, rec.timestamp) ||
                !WriteFieldR(m_output, rec.offset) || !WriteFieldR(m_output, rec.number))
                return MEND_ERR_WRITE;
        }
    }
    return 0;
}

int CRMVBRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    Node* rmf = FindById(RM_ID_RMF, m_root);
    Node* prop = FindById(RM_ID_PROP, m_root);
    std::vector<Node*> mdprs;
    for (Node* n = FindById(RM_ID_MDPR, m_root); n; n = n->next ? FindById(RM_ID_MDPR, n->next) : nullptr)
        if (UsableMdpr(n))
            mdprs.push_back(n);
    Node* cont = FindById(RM_ID_CONT, m_root);
    if (!rmf || !prop || mdprs.empty() || m_chunks.empty())
        return MEND_ERR_REPAIR_REFUSED;
    if (!m_propUsable)
        return MEND_ERR_UNREPAIRABLE;

    // What the output will hold, before any of it is written: its offsets
    // and sizes are 32-bit, so a file that would pass 4 GiB is refused
    // rather than written with wrapped fields.
    int64_t total = (rmf->end - rmf->start) + kPropSize;
    for (Node* m : mdprs)
        total += m->end - m->start;
    // A content description whose strings do not fill it is left out: it
    // is only text, and libavformat refuses the file over it.
    if (!m_contUsable)
        cont = nullptr;
    if (cont && cont->valid)
        total += cont->end - cont->start;
    total += kDataHeaderSize * static_cast<int64_t>(m_chunks.size());
    for (const RmvbPacketInfo& pk : m_packets)
        total += (pk.end - pk.start) + kIndexRecordSize;
    total += kIndexHeaderSize * static_cast<int64_t>(m_streams.size());
    if (total > static_cast<int64_t>(UINT32_MAX))
        return MEND_ERR_UNREPAIRABLE;

    const int64_t rmfAt = m_output->GetPos();
    int r = WriteNode(rmf);
    if (r < 0)
        return r;
    // Its size as it stands: a broken one was mended by the parse.
    if (m_output->GetPos() - rmfAt >= 8 && (r = PatchU32(rmfAt + 4, static_cast<uint32_t>(rmf->end - rmf->start))) < 0)
        return r;
    const int64_t propAt = m_output->GetPos();
    m_input->SeekTo(prop->start);
    if ((r = WriteToFile(kPropSize)) < 0)
        return r;
    for (Node* m : mdprs) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t at = m_output->GetPos();
        m_input->SeekTo(m->start);
        if ((r = WriteToFile(m->end - m->start)) < 0)
            return r;
        // Its duration: that of the packets of its stream that are kept.
        uint16_t number = 0;
        if (m_input->SeekTo(m->start + 10) != m->start + 10 || !ReadFieldR(m_input.get(), number))
            return MEND_ERR_READ;
        if (m->end - m->start >= 40 && (r = PatchU32(at + 36, LastTimestamp(number))) < 0)
            return r;
    }
    if (cont && cont->valid && (r = WriteNode(cont)) < 0)
        return r;

    const int64_t dataAt = m_output->GetPos();
    std::vector<uint32_t> outOffsets(m_packets.size());
    int64_t dataBytes = 0;
    uint32_t maxPacket = 0;
    for (size_t ci = 0; ci < m_chunks.size(); ++ci) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const DataChunk& c = m_chunks[ci];
        const int64_t q = m_output->GetPos();
        if ((r = AddIDAndSize(RM_ID_DATA, 0)) < 0)
            return r;
        if (!WriteFieldR(m_output, uint16_t(0)) || !WriteFieldR(m_output, static_cast<uint32_t>(c.packetCount)) ||
            !WriteFieldR(m_output, uint32_t(0)))
            return MEND_ERR_WRITE;
        // Packets are copied in runs of neighbours; what lies between runs
        // is damage and stays behind.
        int64_t runStart = -1, runEnd = -1;
        int64_t outPos = q + kDataHeaderSize;
        for (size_t i = c.firstPacket; i < c.firstPacket + c.packetCount; ++i) {
            const RmvbPacketInfo& pk = m_packets[i];
            if (pk.start != runEnd) {
                if (runStart >= 0) {
                    m_input->SeekTo(runStart);
                    if ((r = WriteToFile(runEnd - runStart)) < 0)
                        return r;
                }
                runStart = pk.start;
            }
            runEnd = pk.end;
            outOffsets[i] = static_cast<uint32_t>(outPos);
            outPos += pk.end - pk.start;
            maxPacket = std::max<uint32_t>(maxPacket, static_cast<uint32_t>(pk.end - pk.start));
        }
        if (runStart >= 0) {
            m_input->SeekTo(runStart);
            if ((r = WriteToFile(runEnd - runStart)) < 0)
                return r;
        }
        const int64_t end = m_output->GetPos();
        if (end != outPos)
            return MEND_ERR_WRITE;
        dataBytes += end - q - kDataHeaderSize;
        if ((r = PatchU32(q + 4, static_cast<uint32_t>(end - q))) < 0)
            return r;
        if (ci + 1 < m_chunks.size() && (r = PatchU32(q + 14, static_cast<uint32_t>(end))) < 0)
            return r;
    }

    std::vector<int64_t> indexStarts;
    if ((r = WriteIndex(outOffsets, &indexStarts)) < 0)
        return r;

    const uint32_t duration = LastTimestamp(-1);
    const uint32_t count = static_cast<uint32_t>(m_packets.size());
    const uint32_t avgBitRate =
        duration ? static_cast<uint32_t>(std::min<int64_t>(dataBytes * 8000 / duration, UINT32_MAX)) : 0;
    const uint32_t avgPacket = count ? static_cast<uint32_t>(dataBytes / count) : 0;
    uint32_t maxBitRate = 0;
    if (m_input->SeekTo(prop->start + 10) != prop->start + 10 || !ReadFieldR(m_input.get(), maxBitRate))
        return MEND_ERR_READ;
    if ((r = PatchU32(propAt + 4, kPropSize)) < 0 || (r = PatchU32(propAt + 10, std::max(maxBitRate, avgBitRate))) < 0 || (r = PatchU32(propAt + 14, avgBitRate)) < 0 ||
        (r = PatchU32(propAt + 18, maxPacket)) < 0 || (r = PatchU32(propAt + 22, avgPacket)) < 0 ||
        (r = PatchU32(propAt + 26, count)) < 0 || (r = PatchU32(propAt + 30, duration)) < 0 ||
        (r = PatchU32(propAt + 38, indexStarts.empty() ? 0 : static_cast<uint32_t>(indexStarts.front()))) < 0 ||
        (r = PatchU32(propAt + 42, static_cast<uint32_t>(dataAt))) < 0)
        return r;
    // The stream count and the file header's count of the chunks after it:
    // streams without a usable header, the old index and the metadata
    // are gone, and there is an index per stream now.
    const int64_t end = m_output->GetLength();
    if (m_output->SeekTo(propAt + 46) != propAt + 46 || !WriteFieldR(m_output, static_cast<uint16_t>(mdprs.size())) ||
        m_output->SeekTo(end) != end)
        return MEND_ERR_WRITE;
    const bool withCont = cont && cont->valid;
    const uint32_t headers =
        static_cast<uint32_t>(1 + mdprs.size() + (withCont ? 1 : 0) + m_chunks.size() + indexStarts.size());
    if (rmf->end - rmf->start >= 18 && (r = PatchU32(rmfAt + 14, headers)) < 0)
        return r;

    SolveError(JRVP_DAMAGE_SEGMENT);
    SolveError(JRVP_DAMAGE_STRUCTURE);
    SolveError(JRVP_DAMAGE_TIMING);
    SolveError(JRVP_DAMAGE_INDEX);
    return 0;
}
