#include "repairers/ASFRepair.h"

#include <algorithm>
#include <cstring>

#include "core/SizeMend.h"
#include "core/StreamIO.h"

namespace {

constexpr uint8_t Hex(char c)
{
    return static_cast<uint8_t>(c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c - 'a' + 10);
}
constexpr uint8_t HexByte(const char* s, int i)
{
    return static_cast<uint8_t>((Hex(s[i]) << 4) | Hex(s[i + 1]));
}

// A GUID written as the format publishes it, "75B22630-668E-11CF-A6D9-
// 00AA0062CE6C", turned into its byte order in the file: the first three
// fields are stored little-endian, the last eight bytes as written.
constexpr AsfGuid G(const char* s)
{
    return AsfGuid{{HexByte(s, 6), HexByte(s, 4), HexByte(s, 2), HexByte(s, 0), HexByte(s, 11), HexByte(s, 9),
                    HexByte(s, 16), HexByte(s, 14), HexByte(s, 19), HexByte(s, 21), HexByte(s, 24), HexByte(s, 26),
                    HexByte(s, 28), HexByte(s, 30), HexByte(s, 32), HexByte(s, 34)}};
}

enum AsfMacro : int {
    kMacroHeader = 1,
    kMacroData = 2,
    kMacroTimecodeIndex = 6,
    kMacroFileProperties = 11,
    kMacroStreamProperties = 12,
    kMacroHeaderExtension = 13,
    kMacroPadding = 26,
    kMacroLastHeaderChild = 30,
    kMacroExtStreamProperties = 31,
    kMacroLastExtChild = 50,
    kMacroAudioMedia = 51,
    kMacroVideoMedia = 52,
    kMacroBinaryMedia = 57,
    kMacroNoErrorCorrection = 60,
    kMacroAudioSpread = 61,
};

struct GuidMacro {
    int macro;
    AsfGuid guid;
};

// The object and type GUIDs of the published ASF format, by macro: the
// macro's range gives the level at which the GUID may stand.
const GuidMacro listGuidMacro[] = {
    {1, G("75B22630-668E-11CF-A6D9-00AA0062CE6C")},   // Header Object
    {2, G("75B22636-668E-11CF-A6D9-00AA0062CE6C")},   // Data Object
    {3, G("33000890-E5B1-11CF-89F4-00A0C90349CB")},   // Simple Index Object
    {4, G("D6E229D3-35DA-11D1-9034-00A0C90349BE")},   // Index Object
    {5, G("FEB103F8-12AD-4C64-840F-2A1D2F7AD48C")},   // Media Object Index Object
    {6, G("3CB73FD0-0C4A-4803-953D-EDF7B6228F0C")},   // Timecode Index Object
    {11, G("8CABDCA1-A947-11CF-8EE4-00C00C205365")},  // File Properties Object
    {12, G("B7DC0791-A9B7-11CF-8EE6-00C00C205365")},  // Stream Properties Object
    {13, G("5FBF03B5-A92E-11CF-8EE3-00C00C205365")},  // Header Extension Object
    {14, G("86D15240-311D-11D0-A3A4-00A0C90348F6")},  // Codec List Object
    {15, G("1EFB1A30-0B62-11D0-A39B-00A0C90348F6")},  // Script Command Object
    {16, G("F487CD01-A951-11CF-8EE6-00C00C205365")},  // Marker Object
    {17, G("D6E229DC-35DA-11D1-9034-00A0C90349BE")},  // Bitrate Mutual Exclusion Object
    {18, G("75B22635-668E-11CF-A6D9-00AA0062CE6C")},  // Error Correction Object
    {19, G("75B22633-668E-11CF-A6D9-00AA0062CE6C")},  // Content Description Object
    {20, G("D2D0A440-E307-11D2-97F0-00A0C95EA850")},  // Extended Content Description Object
    {21, G("2211B3FA-BD23-11D2-B4B7-00A0C955FC6E")},  // Content Branding Object
    {22, G("7BF875CE-468D-11D1-8D82-006097C9A2B2")},  // Stream Bitrate Properties Object
    {23, G("2211B3FB-BD23-11D2-B4B7-00A0C955FC6E")},  // Content Encryption Object
    {24, G("298AE614-2622-4C17-B935-DAE07EE9289C")},  // Extended Content Encryption Object
    {25, G("2211B3FC-BD23-11D2-B4B7-00A0C955FC6E")},  // Digital Signature Object
    {26, G("1806D474-CADF-4509-A4BA-9AABCB96AAE8")},  // Padding Object
    {31, G("14E6A5CB-C672-4332-8399-A96952065B5A")},  // Extended Stream Properties Object
    {32, G("A08649CF-4775-4670-8A16-6E35357566CD")},  // Advanced Mutual Exclusion Object
    {33, G("D1465A40-5A79-4338-B71B-E36B8FD6C249")},  // Group Mutual Exclusion Object
    {34, G("D4FED15B-88D3-454F-81F0-ED5C45999E24")},  // Stream Prioritization Object
    {35, G("A69609E6-517B-11D2-B6AF-00C04FD908E9")},  // Bandwidth Sharing Object
    {36, G("7C4346A9-EFE0-4BFC-B229-393EDE415C85")},  // Language List Object
    {37, G("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA")},  // Metadata Object
    {38, G("44231C94-9498-49D1-A141-1D134E457054")},  // Metadata Library Object
    {39, G("D6E229DF-35DA-11D1-9034-00A0C90349BE")},  // Index Parameters Object
    {40, G("6B203BAD-3F11-48E4-ACA8-D7613DE2CFA7")},  // Media Object Index Parameters Object
    {41, G("F55E496D-9797-4B5D-8C8B-604DFE9BFB24")},  // Timecode Index Parameters Object
    {42, G("26F18B5D-4584-47EC-9F5F-0E651F0452C9")},  // Compatibility Object
    {43, G("43058533-6981-49E6-9B74-AD12CB86D58C")},  // Advanced Content Encryption Object
    {44, G("D9AADE20-7C17-4F9C-BC28-8555DD98E2A2")},  // Index Parameters Placeholder Object
    {51, G("F8699E40-5B4D-11CF-A8FD-00805F5C442B")},  // Audio Media
    {52, G("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B")},  // Video Media
    {53, G("59DACFC0-59E6-11D0-A3AC-00A0C90348F6")},  // Command Media
    {54, G("B61BE100-5B4E-11CF-A8FD-00805F5C442B")},  // JFIF Media
    {55, G("35907DE0-E415-11CF-A917-00805F5C442B")},  // Degradable JPEG Media
    {56, G("91BD222C-F21C-497A-8B6D-5AA86BFC0185")},  // File Transfer Media
    {57, G("3AFB65E2-47EF-40F2-AC2C-70A90D71D343")},  // Binary Media
    {58, G("776257D4-C627-41CB-8F81-7AC7FF1C40CC")},  // Web Stream Media Subtype
    {59, G("DA1E6B13-8359-4050-B398-388E965BF00C")},  // Web Stream Format
    {60, G("20FB5700-5B55-11CF-A8FD-00805F5C442B")},  // No Error Correction
    {61, G("BFC3CD50-618F-11CF-8BB2-00AA00B4E220")},  // Audio Spread
    {62, G("ABD3D211-A9BA-11CF-8EE6-00C00C205365")},  // Reserved 1
    {63, G("7A079BB6-DAA4-4E12-A5CA-91D38DC11A8D")},  // Content Encryption System Windows Media DRM Network Devices
    {64, G("86D15241-311D-11D0-A3A4-00A0C90348F6")},  // Reserved 2
    {65, G("4B1ACBE3-100B-11D0-A39B-00A0C90348F6")},  // Reserved 3
    {66, G("4CFEDB20-75F6-11CF-9C0F-00A0C90349CB")},  // Reserved 4
    {67, G("D6E22A00-35DA-11D1-9034-00A0C90349BE")},  // Mutex Language
    {68, G("D6E22A01-35DA-11D1-9034-00A0C90349BE")},  // Mutex Bitrate
    {69, G("D6E22A02-35DA-11D1-9034-00A0C90349BE")},  // Mutex Unknown
    {70, G("AF6060AA-5197-11D2-B6AF-00C04FD908E9")},  // Bandwidth Sharing Exclusive
    {71, G("AF6060AB-5197-11D2-B6AF-00C04FD908E9")},  // Bandwidth Sharing Partial
    {72, G("399595EC-8667-4E2D-8FDB-98814CE76C1E")},  // Payload Extension System Timecode
    {73, G("E165EC0E-19ED-45D7-B4A7-25CBD1E28E9B")},  // Payload Extension System File Name
    {74, G("D590DC20-07BC-436C-9CF7-F3BBFBF1A4DC")},  // Payload Extension System Content Type
    {75, G("1B1EE554-F9EA-4BC8-821A-376B74E4C4B8")},  // Payload Extension System Pixel Aspect Ratio
    {76, G("C6BD9450-867F-4907-83A3-C77921B733AD")},  // Payload Extension System Sample Duration
    {77, G("6698B84E-0AFA-4330-AEB2-1C0A98D7A44D")},  // Payload Extension System Encryption Sample ID
    {78, G("00E1AF06-7BEC-11D1-A582-00C04FC29CFB")},  // Payload Extension System Degradable JPEG
};

constexpr int64_t kObjectHeaderSize = 24;
constexpr int64_t kHeaderObjectMin = 30;
constexpr int64_t kFilePropertiesSize = 104;
constexpr int64_t kStreamPropertiesMin = 78;
constexpr int64_t kHeaderExtensionMin = 46;
constexpr int64_t kExtStreamPropertiesMin = 88;
constexpr int64_t kDataObjectHeaderSize = 50;

// File Properties fields, from the object's start.
constexpr int64_t kFpFileId = 24;
constexpr int64_t kFpFileSize = 40;
constexpr int64_t kFpPacketsCount = 56;
constexpr int64_t kFpPlayDuration = 64;
constexpr int64_t kFpSendDuration = 72;
constexpr int64_t kFpFlags = 88;
constexpr int64_t kFpMinPacketSize = 92;
constexpr int64_t kFpMaxPacketSize = 96;
constexpr uint32_t kFpBroadcast = 0x01;

// Data packets: the error correction byte of a packet with two bytes of
// error correction data, and the one layout of the property flags that we
// read (replicated data length a byte, offset into media object 4 bytes,
// media object number a byte, stream number a byte).
constexpr uint8_t kErrorCorrection = 0x82;
constexpr uint8_t kPropertyFlags = 0x5D;
constexpr uint8_t kMultiplePayloads = 0x01;
constexpr uint8_t kSequenceType = 0x06;
constexpr uint8_t kPayloadLengthWord = 0x80;
// The payload count of the Payload Flags byte has six bits.
constexpr uint32_t kMaxPayloads = 63;
// Packets larger than this are not written in practice; a larger declared
// size would let one hostile field make the rebuild write gigabytes of
// padding for a packet cut short.
constexpr uint32_t kMaxPacketSize = 1u << 24;
// The records reserved ahead of the packet walk, at most (about 18 MiB).
constexpr uint64_t kReservedPackets = uint64_t(1) << 18;
// How far a payload's presentation time may lie outside its packet's send
// window, in milliseconds.
constexpr uint64_t kPresentationSlack = 5000;
// Send Duration is accepted within this of what the packets show (100 ns).
constexpr uint64_t kDurationTolerance = 1000000;
// The Padding Length field the rebuild writes when a packet has left
// bytes beyond its payloads and the shortest header: none for none, else
// the smallest field whose own bytes leave a padding it can hold.
int PaddingFieldFor(uint64_t left)
{
    if (left == 0)
        return 0;
    if (left - 1 <= 0xFF)
        return 1;
    if (left - 2 <= 0xFFFF)
        return 2;
    return 4;
}

int FieldSize(int type)
{
    static const int sizes[4] = {0, 1, 2, 4};
    return sizes[type & 3];
}

}  // namespace

CASFRepair::CASFRepair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_ASF;
}

CASFRepair::~CASFRepair()
{
    CASFRepair::Close();
}

void CASFRepair::Close()
{
    m_clean = true;
    m_runStart = 0;
    m_haveHeader = false;
    m_filePropertiesOffset = -1;
    m_packetSize = 0;
    m_dataStart = -1;
    m_streams.clear();
    m_invalid.clear();
    LargeVector<PacketInfo>().swap(m_packets);
    m_packetTotal = 0;
    m_runsFrom = 0;
    LargeVector<PayloadInfo>().swap(m_payloads);
    m_patches.clear();
    CBaseRepair::Close();
}

// ---------------------------------------------------------------------------
// GUID table.

int CASFRepair::Guid2Macro(const AsfGuid& guid)
{
    for (const GuidMacro& row : listGuidMacro)
        if (std::memcmp(row.guid.b, guid.b, sizeof(guid.b)) == 0)
            return row.macro;
    return kMacroUnknown;
}

int CASFRepair::Guid2Level(const AsfGuid& guid)
{
    const int m = Guid2Macro(guid);
    if (m >= kMacroHeader && m <= kMacroTimecodeIndex)
        return 1;
    if (m > kMacroTimecodeIndex && m <= kMacroLastHeaderChild)
        return 2;
    if (m > kMacroLastHeaderChild && m <= kMacroLastExtChild)
        return 3;
    return 4;
}

bool CASFRepair::CompareGuid(const AsfGuid* a, const AsfGuid* b)
{
    return a && b && std::memcmp(a->b, b->b, sizeof(a->b)) == 0;
}

const AsfGuid* CASFRepair::GuidOfMacro(int macro)
{
    for (const GuidMacro& row : listGuidMacro)
        if (row.macro == macro)
            return &row.guid;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Damaged runs and the scan budget.

void CASFRepair::OpenRun(int64_t at)
{
    if (m_clean) {
        m_clean = false;
        m_runStart = at;
    }
}

void CASFRepair::CloseRun(int64_t at)
{
    if (!m_clean) {
        m_clean = true;
        AddRange(m_runStart, at);
    }
}

void CASFRepair::AddRange(int64_t start, int64_t end)
{
    if (end > start)
        m_invalid.emplace_back(start, end);
}

bool CASFRepair::Spend(int64_t steps)
{
    m_budget -= steps;
    return m_budget >= 0;
}

// ---------------------------------------------------------------------------
// Object layer.

int CASFRepair::ReadObjectGuidAndSize(ObjectHeader& h, int64_t limit)
{
    h.endMark = false;
    h.start = m_input->GetPos();
    if (h.start < 0)
        return MEND_ERR_READ;
    if (limit - h.start < kObjectHeaderSize) {
        h.endMark = true;
        return 0;
    }
    if (!ReadField(m_input.get(), h.guid) || !ReadField(m_input.get(), h.size))
        return MEND_ERR_READ;
    return 0;
}

int CASFRepair::NextChild(ObjectHeader& child, int64_t end)
{
    if (TestAbort())
        return MEND_ERR_ABORTED;
    if (!Spend(1))
        return MEND_ERR_UNREPAIRABLE;
    const int r = ReadObjectGuidAndSize(child, end);
    return r < 0 ? r : child.endMark ? 1 : 0;
}

int CASFRepair::ReadGuidAt(int64_t at, AsfGuid& guid, bool& got)
{
    got = false;
    if (m_inputLength - at < 16)
        return 0;
    if (m_input->SeekTo(at) != at)
        return MEND_ERR_READ;
    if (!ReadField(m_input.get(), guid))
        return MEND_ERR_READ;
    got = true;
    return 0;
}

int CASFRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const int64_t length = m_inputLength;
    // Every position the scans try costs a step; a hostile file can make
    // them try each byte a few times, never more.
    m_budget = length * 4 + 65536;
    if (m_input->SeekTo(0) != 0)
        return MEND_ERR_READ;
    ObjectHeader first;
    int r = ReadObjectGuidAndSize(first, length);
    if (r < 0)
        return r;
    if (first.endMark || Guid2Macro(first.guid) != kMacroHeader)
        return MEND_ERR_NOT_CONTAINER;
    if (m_input->SeekTo(0) != 0)
        return MEND_ERR_READ;

    for (;;) {
        const int64_t p = m_input->GetPos();
        if (p < 0)
            return MEND_ERR_READ;
        if (p >= length)
            break;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!Spend(1))
            return MEND_ERR_UNREPAIRABLE;
        r = ParseObject();
        if (r < 0)
            return r;
        if (r == 0) {
            CloseRun(p);
        } else if (r == 1) {
            // Garbage of any length before an object: the next try is one
            // byte on from where this one started, or rather the next byte
            // at which a top-level object can start.
            OpenRun(p);
            int64_t next = 0;
            if ((r = NextCandidate(p + 1, false, next)) < 0)
                return r;
            if (m_input->SeekTo(next) != next)
                return MEND_ERR_READ;
        } else {
            if (m_clean)
                AddRange(p, length);
            else
                CloseRun(length);
            break;
        }
    }
    CloseRun(length);
    if (!m_haveHeader)
        return MEND_ERR_UNREPAIRABLE;
    // Nothing to rebuild from: a header without a single sound packet.
    if (m_packets.empty())
        return MEND_ERR_UNREPAIRABLE;
    if (!m_invalid.empty())
        AddError(JRVP_DAMAGE_SEGMENT);
    CheckDeclaredCounts();
    CheckDuration();
    return 0;
}

void CASFRepair::CheckDeclaredCounts()
{
    const uint64_t found = m_packetTotal;
    bool wrong = m_declaredPackets != found;
    if (m_dataStart >= 0) {
        const uint64_t inData = m_dataPacketsFound;
        wrong = wrong || m_dataPacketsDeclared != inData ||
                m_dataSizeDeclared != kDataObjectHeaderSize + inData * m_packetSize;
    }
    if (wrong)
        AddError(JRVP_DAMAGE_COUNT);
}

void CASFRepair::CheckDuration()
{
    // The packets are sent until the last one's send time plus its
    // duration; that is what a writer declares as Send Duration.
    uint64_t end = 0;
    for (const PacketInfo& p : m_packets)
        end = std::max<uint64_t>(end, uint64_t(p.sendTime) + p.duration);
    const uint64_t t = end * 10000;
    const uint64_t low = t > kDurationTolerance ? t - kDurationTolerance : 0;
    const uint64_t high = t + kDurationTolerance;
    if (m_sendDuration < low || m_sendDuration > high) {
        AddError(JRVP_DAMAGE_TIMING);
        m_sendDuration = t;
    }
}

int CASFRepair::ParseObject()
{
    ObjectHeader h;
    int r = ReadObjectGuidAndSize(h, m_inputLength);
    if (r < 0)
        return r;
    if (h.endMark) {
        if (m_input->SeekTo(h.start) != h.start)
            return MEND_ERR_READ;
        return 2;
    }
    const int macro = Guid2Macro(h.guid);
    if (macro == kMacroHeader) {
        if (!m_haveHeader)
            return ParseHeaderObject(h);
        // A later Header Object that does not hold is damage: the file
        // keeps the header it had.
        HeaderState kept = SaveHeader();
        int r = ParseHeaderObject(h);
        if (r == MEND_ERR_UNREPAIRABLE) {
            RestoreHeader(std::move(kept));
            return 1;
        }
        return r;
    }
    if (macro == kMacroData)
        return ParseDataObject(h);
    if (Guid2Level(h.guid) == 1)
        return ParseNormalObject(h);
    return 1;
}

CASFRepair::HeaderState CASFRepair::SaveHeader() const
{
    HeaderState h;
    h.haveHeader = m_haveHeader;
    h.headerStart = m_headerStart;
    h.headerEnd = m_headerEnd;
    h.filePropertiesOffset = m_filePropertiesOffset;
    h.fileId = m_fileId;
    h.packetSize = m_packetSize;
    h.sendDuration = m_sendDuration;
    h.preroll = m_preroll;
    h.declaredPackets = m_declaredPackets;
    h.flags = m_flags;
    h.streams = m_streams;
    h.patches = m_patches;
    return h;
}

void CASFRepair::RestoreHeader(HeaderState&& h)
{
    m_haveHeader = h.haveHeader;
    m_headerStart = h.headerStart;
    m_headerEnd = h.headerEnd;
    m_filePropertiesOffset = h.filePropertiesOffset;
    m_fileId = h.fileId;
    m_packetSize = h.packetSize;
    m_sendDuration = h.sendDuration;
    m_preroll = h.preroll;
    m_declaredPackets = h.declaredPackets;
    m_flags = h.flags;
    m_streams = std::move(h.streams);
    m_patches = std::move(h.patches);
}

int CASFRepair::ParseNormalObject(const ObjectHeader& h)
{
    if (Guid2Macro(h.guid) == kMacroUnknown)
        return 1;
    if (h.size < uint64_t(kObjectHeaderSize) || h.size > uint64_t(m_inputLength - h.start))
        return 1;
    const int64_t end = h.start + static_cast<int64_t>(h.size);
    AsfGuid next;
    bool got = false;
    int r = ReadGuidAt(end, next, got);
    if (r < 0)
        return r;
    // The last thing in the file, or followed by an object we know.
    if (!got || Guid2Macro(next) != kMacroUnknown)
        return m_input->SeekTo(end) == end ? 0 : MEND_ERR_READ;
    return 1;
}

int CASFRepair::ParseHeaderObject(const ObjectHeader& declaredHeader)
{
    // A later Header Object replaces what an earlier one said.
    m_patches.clear();
    ObjectHeader h = declaredHeader;
    if (int r = MendHeaderSize(h); r < 0)
        return r;
    if (h.size < uint64_t(kHeaderObjectMin) || h.size > uint64_t(m_inputLength - h.start))
        return MEND_ERR_UNREPAIRABLE;
    const int64_t end = h.start + static_cast<int64_t>(h.size);
    uint32_t declared = 0;
    if (!ReadField(m_input.get(), declared))
        return MEND_ERR_READ;
    if (m_input->JumpOver(2) != h.start + kHeaderObjectMin)
        return MEND_ERR_READ;
    m_streams.clear();
    m_filePropertiesOffset = -1;
    m_haveHeader = false;
    uint32_t count = 0;
    bool seenFile = false, seenStream = false;
    for (;;) {
        ObjectHeader child;
        int r = NextChild(child, end);
        if (r < 0)
            return r;
        if (r == 1)
            break;
        if (child.size < uint64_t(kObjectHeaderSize) || child.size > uint64_t(end - child.start)) {
            if ((r = MendChildSize(child, end, 2, h.start)) < 0)
                return r;
        }
        const int macro = Guid2Macro(child.guid);
        if (macro == kMacroFileProperties) {
            r = ParseFilePropertiesObject(child, h.start);
            seenFile = seenFile || r == 0;
        } else if (macro == kMacroStreamProperties) {
            r = ParseStreamPropertiesObject(child, h.start);
            seenStream = seenStream || r == 0;
        } else if (macro == kMacroHeaderExtension) {
            r = ParseHeaderExtObject(child, h.start, end);
        }
        if (r < 0)
            return r;
        ++count;
        const int64_t childEnd = child.start + static_cast<int64_t>(child.size);
        if (m_input->SeekTo(childEnd) != childEnd)
            return MEND_ERR_READ;
        if (childEnd == end)
            break;
    }
    if (m_input->GetPos() != end || !seenFile || !seenStream)
        return MEND_ERR_UNREPAIRABLE;
    if (count != declared) {
        m_patches.push_back({24, 4, count});
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, h.start);
    }
    m_haveHeader = true;
    m_headerStart = h.start;
    m_headerEnd = end;
    return 0;
}

int CASFRepair::ObjectFitsAt(int64_t x, int64_t parentEnd, int level, bool& fits)
{
    fits = false;
    if (parentEnd - x < kObjectHeaderSize)
        return 0;
    if (m_input->SeekTo(x) != x)
        return MEND_ERR_READ;
    ObjectHeader next;
    if (!ReadField(m_input.get(), next.guid) || !ReadField(m_input.get(), next.size))
        return MEND_ERR_READ;
    // Padding may stand in the extension as well as in the header.
    const bool known = Guid2Level(next.guid) == level || (level == 3 && Guid2Macro(next.guid) == kMacroPadding);
    fits = known && next.size >= uint64_t(kObjectHeaderSize) && next.size <= uint64_t(parentEnd - x);
    return 0;
}

int CASFRepair::MendChildSize(ObjectHeader& child, int64_t parentEnd, int level, int64_t headerStart)
{
    // A broken child size: its real end is where the next child starts.
    // The copy of the header gets the size that holds.
    int64_t childEnd = parentEnd;
    int r = FindChildEnd(child, parentEnd, level, childEnd);
    if (r < 0)
        return r;
    child.size = static_cast<uint64_t>(childEnd - child.start);
    m_patches.push_back({child.start - headerStart + 16, 8, child.size});
    AddErrorAt(JRVP_DAMAGE_STRUCTURE, child.start);
    const int64_t body = child.start + kObjectHeaderSize;
    return m_input->SeekTo(body) == body ? 0 : MEND_ERR_READ;
}

int CASFRepair::FindChildEnd(const ObjectHeader& child, int64_t parentEnd, int level, int64_t& end)
{
    auto fits = [this, parentEnd, level](int64_t x, bool& yes) {
        if (TestAbort())
            return static_cast<int>(MEND_ERR_ABORTED);
        if (!Spend(1))
            return static_cast<int>(MEND_ERR_UNREPAIRABLE);
        return ObjectFitsAt(x, parentEnd, level, yes);
    };
    return sizemend::NextSoundUnit(child.start + kObjectHeaderSize, parentEnd, kObjectHeaderSize, fits, end);
}

// The Header Object's children lie back to back from its fixed fields on;
// where they meet an object of the top level (the Data Object) the header
// has ended. A size that does not end there is mended to that end, for the
// copy too. Children that do not lead to such an object leave the size as
// it is, to be judged with them.
int CASFRepair::MendHeaderSize(ObjectHeader& h)
{
    const int64_t length = m_inputLength;
    bool holds = h.size >= uint64_t(kHeaderObjectMin) && h.size <= uint64_t(length - h.start);
    if (holds && h.size < uint64_t(length - h.start)) {
        AsfGuid next;
        bool got = false;
        if (int r = ReadGuidAt(h.start + static_cast<int64_t>(h.size), next, got); r < 0)
            return r;
        holds = got && Guid2Level(next) == 1;
    }
    const int64_t body = h.start + kObjectHeaderSize;
    if (holds)
        return m_input->SeekTo(body) == body ? 0 : MEND_ERR_READ;
    auto read = [this, length](int64_t at, sizemend::ChainUnit& unit) {
        if (TestAbort())
            return static_cast<int>(MEND_ERR_ABORTED);
        if (!Spend(1))
            return static_cast<int>(MEND_ERR_UNREPAIRABLE);
        if (length - at < kObjectHeaderSize)
            return 0;
        ObjectHeader child;
        if (m_input->SeekTo(at) != at || !ReadField(m_input.get(), child.guid) || !ReadField(m_input.get(), child.size))
            return static_cast<int>(MEND_ERR_READ);
        const int level = Guid2Level(child.guid);
        if (level == 1) {
            unit.kind = sizemend::ChainUnit::kSibling;
        } else if (level == 2 && child.size >= uint64_t(kObjectHeaderSize) && child.size <= uint64_t(length - at)) {
            unit.kind = sizemend::ChainUnit::kChild;
            unit.length = static_cast<int64_t>(child.size);
        }
        return 0;
    };
    const int64_t declaredEnd =
        h.size <= uint64_t(length - h.start) ? h.start + static_cast<int64_t>(h.size) : length + 1;
    int64_t end = -1;
    if (int r = sizemend::ChildChainEnd(h.start + kHeaderObjectMin, length, declaredEnd, read, end); r < 0)
        return r;
    if (end >= 0) {
        h.size = static_cast<uint64_t>(end - h.start);
        m_patches.push_back({16, 8, h.size});
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, h.start);
    }
    return m_input->SeekTo(body) == body ? 0 : MEND_ERR_READ;
}

void CASFRepair::MendHeaderField(int64_t at, int bytes, uint64_t value, int64_t headerStart)
{
    m_patches.push_back({at - headerStart, bytes, value});
    AddErrorAt(JRVP_DAMAGE_STRUCTURE, at);
}

int CASFRepair::ParseFilePropertiesObject(const ObjectHeader& h, int64_t headerStart)
{
    if (h.size < uint64_t(kFilePropertiesSize))
        return MEND_ERR_UNREPAIRABLE;
    IBaseStream* in = m_input.get();
    if (in->SeekTo(h.start + kFpFileId) != h.start + kFpFileId)
        return MEND_ERR_READ;
    AsfGuid fileId;
    uint64_t fileSize = 0, created = 0, packets = 0, play = 0, send = 0, preroll = 0;
    uint32_t flags = 0, minSize = 0, maxSize = 0;
    if (!ReadField(in, fileId) || !ReadField(in, fileSize) || !ReadField(in, created) ||
        !ReadField(in, packets) || !ReadField(in, play) || !ReadField(in, send) || !ReadField(in, preroll) ||
        !ReadField(in, flags) || !ReadField(in, minSize) || !ReadField(in, maxSize))
        return MEND_ERR_READ;
    // Only packets of one fixed size are read; it must at least hold a
    // packet header. Where one of the two sizes cannot be, the other says
    // it, and the copy gets it in both.
    auto possible = [](uint32_t size) { return size >= kObjectHeaderSize && size <= kMaxPacketSize; };
    if (minSize != maxSize && possible(minSize) != possible(maxSize)) {
        const bool minHolds = possible(minSize);
        const uint32_t size = minHolds ? minSize : maxSize;
        MendHeaderField(h.start + (minHolds ? kFpMaxPacketSize : kFpMinPacketSize), 4, size, headerStart);
        minSize = maxSize = size;
    }
    if (minSize != maxSize || !possible(minSize))
        return MEND_ERR_UNREPAIRABLE;
    m_fileId = fileId;
    m_declaredPackets = packets;
    m_sendDuration = send;
    m_preroll = preroll;
    m_flags = flags;
    m_packetSize = minSize;
    m_filePropertiesOffset = h.start;
    return 0;
}

void CASFRepair::AddStream(uint8_t number, uint32_t maxObjectSize, uint16_t extensionSize, bool extended)
{
    for (StreamInfo& s : m_streams) {
        if (s.number == number) {
            if (extended) {
                s.maxObjectSize = maxObjectSize;
                s.extensionSize = extensionSize;
            }
            return;
        }
    }
    StreamInfo s;
    s.number = number;
    s.maxObjectSize = maxObjectSize;
    s.extensionSize = extensionSize;
    m_streams.push_back(s);
}

const CASFRepair::StreamInfo* CASFRepair::FindStream(uint8_t number) const
{
    for (const StreamInfo& s : m_streams)
        if (s.number == number)
            return &s;
    return nullptr;
}

int CASFRepair::ParseStreamPropertiesObject(const ObjectHeader& h, int64_t headerStart)
{
    if (h.size < uint64_t(kStreamPropertiesMin))
        return MEND_ERR_UNREPAIRABLE;
    IBaseStream* in = m_input.get();
    AsfGuid type, correction;
    if (!ReadField(in, type) || !ReadField(in, correction))
        return MEND_ERR_READ;
    const int typeMacro = Guid2Macro(type);
    const int correctionMacro = Guid2Macro(correction);
    if (typeMacro < kMacroAudioMedia || typeMacro > kMacroBinaryMedia)
        return MEND_ERR_UNREPAIRABLE;
    // Either published error correction type is sound for any stream.
    if (correctionMacro != kMacroNoErrorCorrection && correctionMacro != kMacroAudioSpread)
        return MEND_ERR_UNREPAIRABLE;
    if (in->SeekTo(h.start + 64) != h.start + 64)
        return MEND_ERR_READ;
    uint32_t typeLength = 0, correctionLength = 0;
    uint16_t flags = 0;
    if (!ReadField(in, typeLength) || !ReadField(in, correctionLength) || !ReadField(in, flags))
        return MEND_ERR_READ;
    const uint8_t number = flags & 0x7F;
    if (number == 0)
        return MEND_ERR_UNREPAIRABLE;
    // The two lengths share the object's body: where they do not add up to
    // it, the one that leaves the other a length the data can have is
    // broken. The type-specific data of audio and video says its own
    // length (a wave format's 18 bytes and extra size, a video's 11 bytes
    // and its format data size); the error correction data has none.
    const uint64_t body = h.size - kStreamPropertiesMin;
    if (uint64_t(typeLength) + correctionLength != body) {
        const int64_t data = h.start + kStreamPropertiesMin;
        uint64_t own = UINT64_MAX;
        uint16_t extra = 0;
        if (typeMacro == kMacroAudioMedia && body >= 18) {
            if (in->SeekTo(data + 16) != data + 16 || !ReadField(in, extra))
                return MEND_ERR_READ;
            own = 18 + uint64_t(extra);
        } else if (typeMacro == kMacroVideoMedia && body >= 11) {
            if (in->SeekTo(data + 9) != data + 9 || !ReadField(in, extra))
                return MEND_ERR_READ;
            own = 11 + uint64_t(extra);
        }
        if (own <= body && own + correctionLength == body) {
            typeLength = static_cast<uint32_t>(own);
            MendHeaderField(h.start + 64, 4, typeLength, headerStart);
        } else if (typeLength <= body && (own == UINT64_MAX || own == typeLength)) {
            correctionLength = static_cast<uint32_t>(body - typeLength);
            MendHeaderField(h.start + 68, 4, correctionLength, headerStart);
        } else {
            return MEND_ERR_UNREPAIRABLE;
        }
    }
    bool sound = true;
    int r = TypeSpecificDataSound(h.start + kStreamPropertiesMin, typeLength, correctionLength, typeMacro,
                                  headerStart, sound);
    if (r < 0)
        return r;
    // A stream that no reader can decode makes the header useless.
    if (!sound)
        return MEND_ERR_UNREPAIRABLE;
    // Without an Extended Stream Properties Object a stream has no payload
    // extensions: its replicated data is the object size and time alone.
    AddStream(number, 0, 0, false);
    return 0;
}

namespace {

// The samples per frame of Windows Media Audio 1 and 2 at a sample rate.
uint32_t WmaFrameLength(uint32_t rate)
{
    if (rate <= 16000)
        return 512;
    if (rate <= 22050)
        return 1024;
    if (rate <= 48000)
        return 2048;
    return 4096;
}

}  // namespace

// Whether the type-specific data of a stream can be decoded; fields that
// others in the header say again (a video's format data size and bitmap
// header size, a wave format's block alignment and byte rate) are mended
// from them.
int CASFRepair::TypeSpecificDataSound(int64_t at, uint32_t length, uint32_t correctionLength, int typeMacro,
                                      int64_t headerStart, bool& sound)
{
    sound = true;
    IBaseStream* in = m_input.get();
    if (typeMacro == kMacroAudioMedia) {
        // WAVEFORMATEX: format tag, channels, samples per second, bytes per
        // second, block alignment, bits per sample, extra size.
        uint16_t tag = 0, channels = 0, align = 0;
        uint32_t rate = 0, byteRate = 0;
        if (length < 16) {
            sound = false;
            return 0;
        }
        if (in->SeekTo(at) != at || !ReadField(in, tag) || !ReadField(in, channels) || !ReadField(in, rate) ||
            !ReadField(in, byteRate) || !ReadField(in, align))
            return MEND_ERR_READ;
        // No field says these again: beyond what any recording holds, the
        // stream cannot be decoded.
        sound = channels != 0 && channels <= 8 && rate != 0 && rate <= 768000;
        if (!sound)
            return 0;
        // The audio spread data (span, virtual packet and chunk lengths)
        // repeats the block alignment where its span is one.
        if (correctionLength >= 5) {
            const int64_t c = at + length;
            uint8_t span = 0;
            uint16_t packet = 0, chunk = 0;
            if (in->SeekTo(c) != c || !ReadField(in, span) || !ReadField(in, packet) || !ReadField(in, chunk))
                return MEND_ERR_READ;
            if (span == 1 && packet == chunk && chunk != 0 && align != chunk) {
                align = chunk;
                MendHeaderField(at + 12, 2, align, headerStart);
            }
        }
        if (align == 0) {
            sound = false;
            return 0;
        }
        // Windows Media Audio 1 and 2 code a frame in a block at the byte
        // rate: a byte rate no frame of that block could have is mended
        // from them, to a whole kilobit per second as encoders set it.
        const bool wma = tag == 0x160 || tag == 0x161;
        const uint64_t most = uint64_t(channels) * rate * 8;
        if (byteRate == 0 || byteRate > most) {
            if (!wma) {
                sound = false;
                return 0;
            }
            const double derived = double(align) * rate / WmaFrameLength(rate);
            const uint64_t mended = std::max<uint64_t>(1, static_cast<uint64_t>(derived / 125 + 0.5)) * 125;
            MendHeaderField(at + 8, 4, mended, headerStart);
        }
    } else if (typeMacro == kMacroVideoMedia) {
        // Width, height, flags, format data size, then the bitmap header:
        // its size, width and height. The format data fills the rest of
        // the type-specific data, and the bitmap header, which counts the
        // codec's extra data, fills the format data.
        uint32_t width = 0, height = 0, infoSize = 0, infoWidth = 0;
        int32_t infoHeight = 0;
        uint8_t reserved = 0;
        uint16_t formatSize = 0;
        if (length < 11 + 40) {
            sound = false;
            return 0;
        }
        if (in->SeekTo(at) != at || !ReadField(in, width) || !ReadField(in, height) || !ReadField(in, reserved) ||
            !ReadField(in, formatSize) || !ReadField(in, infoSize) || !ReadField(in, infoWidth) ||
            !ReadField(in, infoHeight))
            return MEND_ERR_READ;
        if ((formatSize < 40 || formatSize > length - 11) && length - 11 <= 0xFFFF) {
            formatSize = static_cast<uint16_t>(length - 11);
            MendHeaderField(at + 9, 2, formatSize, headerStart);
        }
        if ((infoSize < 40 || infoSize > formatSize) && formatSize >= 40) {
            infoSize = formatSize;
            MendHeaderField(at + 11, 4, infoSize, headerStart);
        }
        sound = infoSize >= 40 && infoSize <= formatSize && formatSize <= length - 11 && infoWidth != 0 &&
                infoHeight != 0;
    }
    return 0;
}

int CASFRepair::ParseHeaderExtObject(ObjectHeader& h, int64_t headerStart, int64_t headerEnd)
{
    if (h.size < uint64_t(kHeaderExtensionMin))
        return MEND_ERR_UNREPAIRABLE;
    IBaseStream* in = m_input.get();
    if (in->SeekTo(h.start + 42) != h.start + 42)
        return MEND_ERR_READ;
    uint32_t dataSize = 0;
    if (!ReadField(in, dataSize))
        return MEND_ERR_READ;
    if (dataSize != h.size - kHeaderExtensionMin) {
        // One of the two sizes is wrong. The data size holds when the
        // object it gives ends where the next header child (or the header)
        // begins; otherwise it follows from the object's size.
        const uint64_t byData = uint64_t(kHeaderExtensionMin) + dataSize;
        bool dataHolds = false;
        if (byData <= uint64_t(headerEnd - h.start)) {
            const int64_t at = h.start + static_cast<int64_t>(byData);
            if (at == headerEnd) {
                dataHolds = true;
            } else if (int r = ObjectFitsAt(at, headerEnd, 2, dataHolds); r < 0) {
                return r;
            }
        }
        if (dataHolds) {
            h.size = byData;
            m_patches.push_back({h.start + 16 - headerStart, 8, h.size});
        } else {
            m_patches.push_back({h.start + 42 - headerStart, 4, h.size - kHeaderExtensionMin});
        }
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, h.start);
        if (in->SeekTo(h.start + kHeaderExtensionMin) != h.start + kHeaderExtensionMin)
            return MEND_ERR_READ;
    }
    const int64_t end = h.start + static_cast<int64_t>(h.size);
    for (;;) {
        ObjectHeader child;
        int r = NextChild(child, end);
        if (r < 0)
            return r;
        if (r == 1)
            break;
        if (child.size < uint64_t(kObjectHeaderSize) || child.size > uint64_t(end - child.start)) {
            if ((r = MendChildSize(child, end, 3, headerStart)) < 0)
                return r;
        }
        if (Guid2Macro(child.guid) == kMacroExtStreamProperties) {
            r = ParseExtStreamPropertiesObject(child);
            if (r < 0)
                return r;
        }
        const int64_t childEnd = child.start + static_cast<int64_t>(child.size);
        if (in->SeekTo(childEnd) != childEnd)
            return MEND_ERR_READ;
    }
    return in->GetPos() == end ? 0 : MEND_ERR_UNREPAIRABLE;
}

int CASFRepair::ParseExtStreamPropertiesObject(const ObjectHeader& h)
{
    if (h.size < uint64_t(kExtStreamPropertiesMin))
        return MEND_ERR_UNREPAIRABLE;
    const int64_t end = h.start + static_cast<int64_t>(h.size);
    IBaseStream* in = m_input.get();
    if (in->SeekTo(h.start + 64) != h.start + 64)
        return MEND_ERR_READ;
    uint32_t maxObject = 0, flags = 0;
    uint16_t number = 0, language = 0, nameCount = 0, extensionCount = 0;
    uint64_t timePerFrame = 0;
    if (!ReadField(in, maxObject) || !ReadField(in, flags) || !ReadField(in, number) ||
        !ReadField(in, language) || !ReadField(in, timePerFrame) || !ReadField(in, nameCount) ||
        !ReadField(in, extensionCount))
        return MEND_ERR_READ;
    for (uint32_t i = 0; i < nameCount; ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint16_t nameLanguage = 0, nameLength = 0;
        if (end - in->GetPos() < 4)
            return MEND_ERR_UNREPAIRABLE;
        if (!ReadField(in, nameLanguage) || !ReadField(in, nameLength))
            return MEND_ERR_READ;
        if (nameLength > end - in->GetPos())
            return MEND_ERR_UNREPAIRABLE;
        in->JumpOver(nameLength);
    }
    uint16_t total = 0;
    for (uint32_t i = 0; i < extensionCount; ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (end - in->GetPos() < 22)
            return MEND_ERR_UNREPAIRABLE;
        AsfGuid system;
        uint16_t size = 0;
        uint32_t infoLength = 0;
        if (!ReadField(in, system) || !ReadField(in, size) || !ReadField(in, infoLength))
            return MEND_ERR_READ;
        total = (size == 0xFFFF || total == 0xFFFF) ? 0xFFFF : static_cast<uint16_t>(std::min(0xFFFE, total + size));
        if (infoLength > end - in->GetPos())
            return MEND_ERR_UNREPAIRABLE;
        in->JumpOver(infoLength);
    }
    const uint8_t stream = number & 0x7F;
    if (stream != 0)
        AddStream(stream, maxObject, total, true);
    return 0;
}

int CASFRepair::ParseDataObject(const ObjectHeader& h)
{
    IBaseStream* in = m_input.get();
    const int64_t length = m_inputLength;
    if (length - in->GetPos() < kDataObjectHeaderSize - kObjectHeaderSize)
        return 1;
    AsfGuid fileId;
    uint64_t total = 0;
    uint16_t reserved = 0;
    if (!ReadField(in, fileId) || !ReadField(in, total) || !ReadField(in, reserved))
        return MEND_ERR_READ;
    if (!m_haveHeader || !CompareGuid(&fileId, &m_fileId))
        return 1;
    // The declared size is not trusted to bound the packets: a recording
    // that was never closed declares only the object's own header.
    m_dataStart = h.start;
    m_dataSizeDeclared = h.size;
    m_dataPacketsDeclared = total;
    const uint64_t before = m_packetTotal;
    m_runsFrom = m_packets.size();
    // Room for the packets the rest of the file can hold, taken at once:
    // growing the records step by step costs more than reading the packets.
    const uint64_t room = uint64_t(length - in->GetPos()) / m_packetSize + 1;
    m_packets.reserve(m_packets.size() + std::min<uint64_t>(room, kReservedPackets));
    m_payloads.reserve(m_payloads.size() + std::min<uint64_t>(room * 2, 2 * kReservedPackets));
    CloseRun(h.start);
    for (;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t p = in->GetPos();
        if (p < 0)
            return MEND_ERR_READ;
        if (p >= length) {
            CloseRun(p);
            break;
        }
        if (!Spend(1))
            return MEND_ERR_UNREPAIRABLE;
        int r = ParsePayload();
        if (r < 0)
            return r;
        if (r == 2)
            break;
        if (r == 0) {
            CloseRun(p);
            continue;
        }
        if (length - p <= 16) {
            if (m_clean)
                AddRange(p, length);
            else
                CloseRun(length);
            if (in->SeekTo(length) != length)
                return MEND_ERR_READ;
            break;
        }
        AsfGuid guid;
        bool got = false;
        r = ReadGuidAt(p, guid, got);
        if (r < 0)
            return r;
        if (got && Guid2Level(guid) == 1) {
            // The next top-level object: the packets end here.
            CloseRun(p);
            if (in->SeekTo(p) != p)
                return MEND_ERR_READ;
            break;
        }
        OpenRun(p);
        int64_t next = 0;
        if ((r = NextCandidate(p + 1, true, next)) < 0)
            return r;
        if (in->SeekTo(next) != next)
            return MEND_ERR_READ;
    }
    m_dataPacketsFound = m_packetTotal - before;
    return 0;
}

namespace {

// The first bytes of the top-level GUIDs, so that most positions of a
// resynchronising scan cost one look; with the error correction byte, the
// bytes a data packet or an object can begin with where it stands (the
// other packet start shows one byte later, as the property flags).
struct TopLevelFirstBytes {
    bool is[256] = {};
    bool packet[256] = {};
    TopLevelFirstBytes()
    {
        for (const GuidMacro& row : listGuidMacro)
            if (row.macro >= kMacroHeader && row.macro <= kMacroTimecodeIndex)
                is[row.guid.b[0]] = true;
        for (int i = 0; i < 256; ++i)
            packet[i] = is[i];
        packet[kErrorCorrection] = true;
    }
};

const TopLevelFirstBytes& FirstBytes()
{
    static const TopLevelFirstBytes first;
    return first;
}

// Whether an object of the top level (packets false) or a data packet or an
// object of the top level (packets true) can start at b, which has at least
// 17 bytes.
bool CouldStartAt(const uint8_t* b, bool packets)
{
    const TopLevelFirstBytes& first = FirstBytes();
    if (packets) {
        if (b[0] == kErrorCorrection && b[4] == kPropertyFlags)
            return true;
        if (b[1] == kPropertyFlags && !(b[0] & 0x80) && !(b[0] & kSequenceType))
            return true;
    }
    if (!first.is[b[0]])
        return false;
    for (const GuidMacro& row : listGuidMacro)
        if (row.macro <= kMacroTimecodeIndex && std::memcmp(row.guid.b, b, sizeof(row.guid.b)) == 0)
            return true;
    return false;
}

bool IsZeroWord(const uint8_t* b)
{
    uint64_t w;
    std::memcpy(&w, b, sizeof(w));
    return w == 0;
}

}  // namespace

int CASFRepair::NextCandidate(int64_t from, bool packets, int64_t& next)
{
    // The scan reads blocks and looks at them in place; a position that
    // cannot start what the caller looks for costs no parse.
    // Blocks start small, so that a short stretch of damage costs a short
    // read, and grow while the scan goes on: a long one costs few calls.
    constexpr int64_t kBlockMin = 65536;
    constexpr int64_t kBlockMax = int64_t(1) << 20;
    constexpr int64_t kLook = 16;
    const int64_t length = m_inputLength;
    next = length;
    const TopLevelFirstBytes& first = FirstBytes();
    const bool* const starts = packets ? first.packet : first.is;
    static_assert(kPropertyFlags != 0, "zeros are passed over eight at a time");
    int64_t block = kBlockMin;
    int64_t p = from;
    while (length - p > kLook) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = std::min(block, length - p);
        block = std::min(block * 2, kBlockMax);
        if (m_scanBlock.size() < static_cast<size_t>(n))
            m_scanBlock.resize(static_cast<size_t>(n));
        if (m_input->SeekTo(p) != p)
            return MEND_ERR_READ;
        if (m_input->Read(m_scanBlock.data(), static_cast<unsigned int>(n)) != n)
            return MEND_ERR_READ;
        const uint8_t* b = m_scanBlock.data();
        for (int64_t i = 0; i + kLook < n; ++i) {
            // Through zeros (a hole, a wiped stretch) eight positions at a
            // time: nothing starts with a zero byte, and a packet shows one
            // only when the property flags follow it.
            if (!starts[0]) {
                while (i + 8 + kLook < n && b[i + 8] != kPropertyFlags && IsZeroWord(b + i))
                    i += 8;
            }
            if (!starts[b[i]] && !(packets && b[i + 1] == kPropertyFlags))
                continue;
            if (CouldStartAt(b + i, packets)) {
                next = p + i;
                return 0;
            }
        }
        p += n - kLook;
    }
    // The last few bytes of the file: the parsers tell what they hold.
    next = std::min(p, length);
    return 0;
}

// ---------------------------------------------------------------------------
// Data packets.
//
// A packet is read with one call and checked in memory: packets are small
// and lie back to back, so the analysis reads the Data Object once, in
// order.

namespace {

uint32_t LoadLE(const uint8_t* b, int size)
{
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = (v << 8) | b[i];
    return v;
}

}  // namespace

// Whether size bytes at offset i of the packet are there: 0 yes, 1 they
// lie beyond the packet's fixed size (damage), 2 beyond the end of the
// file (stop).
int CASFRepair::PacketView::Need(int64_t i, int64_t size) const
{
    if (size <= n - i)
        return 0;
    return n < fixed && size <= fixed - i ? 2 : 1;
}

int CASFRepair::ParsePayload()
{
    IBaseStream* in = m_input.get();
    const int64_t length = m_inputLength;
    const int64_t p = in->GetPos();
    if (p < 0)
        return MEND_ERR_READ;
    if (length - p < 1)
        return 2;
    PacketView v;
    v.start = p;
    v.fixed = m_packetSize;
    v.n = std::min<int64_t>(m_packetSize, length - p);
    if (v.n <= CReadWindow::kSize) {
        // Packets are looked at where the window read them.
        v.b = m_inputWindow.Fetch(in, p, v.n, length);
        if (!v.b)
            return MEND_ERR_READ;
    } else {
        if (m_packet.size() < m_packetSize)
            m_packet.resize(m_packetSize);
        if (in->SeekTo(p) != p || in->Read(m_packet.data(), static_cast<unsigned int>(v.n)) != v.n)
            return MEND_ERR_READ;
        v.b = m_packet.data();
    }
    PacketInfo packet;
    int r = ParsePacketView(v, packet);
    if (r < 0)
        return r;
    if (r == 0)
        KeepPacket(packet);
    const int64_t next = r == 0 ? packet.end : p;
    return in->SeekTo(next) == next ? r : MEND_ERR_READ;
}

int CASFRepair::ParsePacketView(const PacketView& v, PacketInfo& packet)
{
    const uint8_t* b = v.b;
    int64_t i = 0;
    int r = 0;
    packet = PacketInfo();
    packet.start = v.start;
    if ((r = v.Need(0, 1)) != 0)
        return r;
    if (b[0] == kErrorCorrection) {
        if ((r = v.Need(1, 3)) != 0)
            return r;
        i = 3;
        packet.errorCorrection = b[1] == 0 && b[2] == 0;
    }
    const uint8_t lengthType = b[i++];
    if ((lengthType & 0x80) || (lengthType & kSequenceType))
        return 1;
    if ((r = v.Need(i, 1)) != 0)
        return r;
    if (b[i++] != kPropertyFlags)
        return 1;
    const int packetLengthSize = FieldSize(lengthType >> 5);
    const int paddingSize = FieldSize(lengthType >> 3);
    if ((r = v.Need(i, packetLengthSize + paddingSize + 6)) != 0)
        return r;
    const uint32_t packetLength = LoadLE(b + i, packetLengthSize);
    i += packetLengthSize;
    const uint32_t padding = LoadLE(b + i, paddingSize);
    i += paddingSize;
    // Bytes of the packet after Send Time and Duration: payloads and padding.
    const int64_t room = v.fixed - i - 6;
    if (padding > room)
        return 1;
    int64_t payloadLength = room - padding;
    // Packet Length counts the whole packet; some writers put the payload
    // bytes there instead. Either must agree with the fixed packet size.
    if (packetLengthSize != 0 && packetLength != v.fixed && packetLength != payloadLength) {
        // GStreamer counts the packet without its padding, which readers
        // then take for more padding than the packet holds: the payloads
        // are sound, the packet is written again as the format has it.
        if (int64_t(packetLength) != v.fixed - int64_t(padding))
            return 1;
        AddError(JRVP_DAMAGE_STRUCTURE);
    }
    packet.sendTime = LoadLE(b + i, 4);
    packet.duration = static_cast<uint16_t>(LoadLE(b + i + 4, 2));
    i += 6;
    packet.lengthTypeFlags = lengthType;
    packet.multiple = (lengthType & kMultiplePayloads) != 0;
    packet.firstPayload = static_cast<uint32_t>(m_payloads.size());
    const int64_t payloadEnd = i + payloadLength;
    r = packet.multiple ? ParseMultiplePayloads(v, packet, i, payloadEnd) : ParseSinglePayload(v, packet, i, payloadEnd);
    if (r != 0) {
        m_payloads.resize(packet.firstPayload);
        return r;
    }
    // The packet ends where its fixed size says, or where the file does.
    packet.end = v.start + v.n;
    // A packet that the rebuild would write byte for byte as it stands is
    // copied with its neighbours in one run.
    packet.verbatim = packet.verbatim && packet.errorCorrection && packetLengthSize == 0 && v.n == v.fixed &&
                      PaddingFieldFor(uint64_t(paddingSize) + padding) == paddingSize;
    return 0;
}

void CASFRepair::KeepPacket(const PacketInfo& packet)
{
    ++m_packetTotal;
    const int64_t n = m_packetSize;
    // Only packets that keep room for the error correction data join a
    // run: the rebuild then copies the run whole whenever the others do.
    if (packet.verbatim && packet.end - packet.start == n && m_packets.size() > m_runsFrom &&
        PayloadBytes(packet) + 11 <= uint64_t(n)) {
        PacketInfo& run = m_packets.back();
        if (run.verbatim && run.end == packet.start && run.count < UINT32_MAX &&
            run.end - run.start == n * int64_t(run.count) && (run.count > 1 || PayloadBytes(run) + 11 <= uint64_t(n))) {
            m_payloads.resize(packet.firstPayload);
            run.end = packet.end;
            ++run.count;
            if (uint64_t(packet.sendTime) + packet.duration >= uint64_t(run.sendTime) + run.duration) {
                run.sendTime = packet.sendTime;
                run.duration = packet.duration;
            }
            return;
        }
    }
    m_packets.push_back(packet);
}

int CASFRepair::ReparsePacket(int64_t at, PacketInfo& packet)
{
    IBaseStream* in = m_input.get();
    PacketView v;
    v.start = at;
    v.fixed = m_packetSize;
    v.n = std::min<int64_t>(m_packetSize, m_inputLength - at);
    if (v.n <= CReadWindow::kSize) {
        v.b = m_inputWindow.Fetch(in, at, v.n, m_inputLength);
        if (!v.b)
            return MEND_ERR_READ;
    } else {
        if (m_packet.size() < m_packetSize)
            m_packet.resize(m_packetSize);
        if (in->SeekTo(at) != at || in->Read(m_packet.data(), static_cast<unsigned int>(v.n)) != v.n)
            return MEND_ERR_READ;
        v.b = m_packet.data();
    }
    // It parsed before, within the budget: a second look spends none.
    const int64_t budget = m_budget;
    m_budget = INT64_MAX / 2;
    const int r = ParsePacketView(v, packet);
    m_budget = budget;
    return r;
}

CASFRepair::PacketInfo CASFRepair::PacketAt(size_t i)
{
    for (const PacketInfo& record : m_packets) {
        if (i >= record.count) {
            i -= record.count;
            continue;
        }
        if (record.count == 1)
            return record;
        const size_t payloads = m_payloads.size();
        PacketInfo packet;
        if (ReparsePacket(record.start + int64_t(i) * m_packetSize, packet) != 0)
            packet = PacketInfo();
        m_payloads.resize(payloads);
        packet.firstPayload = 0;
        return packet;
    }
    return PacketInfo();
}

int CASFRepair::ParsePayloadHeader(const PacketView& v, const PacketInfo& packet, int64_t s, int64_t limit,
                                   int64_t& next)
{
    const uint8_t* b = v.b;
    int r = v.Need(s, 7);
    if (r != 0)
        return r;
    if (limit - s < 7)
        return 1;
    const uint8_t number = b[s];
    const uint32_t offset = LoadLE(b + s + 2, 4);
    const uint8_t replicated = b[s + 6];
    const StreamInfo* info = FindStream(number & 0x7F);
    if (!info || replicated == 0)
        return 1;
    uint64_t presentation = 0;
    if (replicated == 1) {
        // A compressed payload: the offset field holds the presentation
        // time and one delta byte follows.
        if (limit - s < 8)
            return 1;
        if ((r = v.Need(s, 8)) != 0)
            return r;
        presentation = offset;
    } else {
        if (replicated < 8 || (info->extensionSize != 0xFFFF && replicated != info->extensionSize + 8))
            return 1;
        if (limit - s - 7 < replicated)
            return 1;
        if ((r = v.Need(s + 7, replicated)) != 0)
            return r;
        const uint32_t objectSize = LoadLE(b + s + 7, 4);
        if ((info->maxObjectSize != 0 && objectSize > info->maxObjectSize) || objectSize < offset)
            return 1;
        presentation = LoadLE(b + s + 11, 4);
    }
    // Sent ahead of its presentation by the preroll, within a slack.
    const uint64_t sent = uint64_t(packet.sendTime) + m_preroll;
    const uint64_t low = sent > kPresentationSlack ? sent - kPresentationSlack : 0;
    const uint64_t high = sent + packet.duration + kPresentationSlack;
    if (presentation < low || presentation > high)
        return 1;
    next = s + 7 + (replicated == 1 ? 1 : replicated);
    return 0;
}

int CASFRepair::ParseSinglePayload(const PacketView& v, PacketInfo& packet, int64_t s, int64_t payloadEnd)
{
    int64_t data = 0;
    int r = ParsePayloadHeader(v, packet, s, payloadEnd, data);
    if (r != 0)
        return r;
    // A payload cut by the end of the file is lost with its packet.
    if (payloadEnd > v.n || data > payloadEnd)
        return 1;
    m_payloads.push_back({v.start + s, v.start + payloadEnd});
    packet.payloadCount = 1;
    packet.verbatim = true;
    return 0;
}

int CASFRepair::ParseMultiplePayloads(const PacketView& v, PacketInfo& packet, int64_t at, int64_t payloadEnd)
{
    int r = v.Need(at, 1);
    if (r != 0)
        return r;
    const uint8_t flags = v.b[at];
    if ((flags & 0xC0) != kPayloadLengthWord || (flags & 0x3F) == 0)
        return 1;
    // The packet's real end bounds the search: payloads that do not parse
    // are passed over byte by byte and recorded as lost.
    int64_t skipped = -1;
    int64_t s = at + 1;
    while (s < payloadEnd) {
        if (!Spend(1))
            return MEND_ERR_UNREPAIRABLE;
        int64_t e = 0;
        r = ParseMultiPayload(v, packet, s, payloadEnd, e);
        if (r == 2)
            break;
        if (r == 0) {
            if (skipped >= 0)
                AddRange(v.start + skipped, v.start + s);
            skipped = -1;
            s = e;
            continue;
        }
        if (skipped < 0)
            skipped = s;
        ++s;
    }
    if (skipped >= 0 || s < payloadEnd)
        AddRange(v.start + (skipped >= 0 ? skipped : s), v.start + std::min(payloadEnd, v.n));
    packet.payloadCount = static_cast<uint32_t>(m_payloads.size() - packet.firstPayload);
    if (packet.payloadCount == 0)
        return 1;
    // A count that disagrees with the payloads there makes a reader lose
    // the payloads past it or read padding as payloads: the packet is
    // damaged even when every payload in it holds.
    const bool countHolds = packet.payloadCount == (flags & 0x3Fu);
    if (!countHolds)
        AddError(JRVP_DAMAGE_STRUCTURE);
    packet.verbatim = skipped < 0 && s == payloadEnd && countHolds;
    return 0;
}

int CASFRepair::ParseMultiPayload(const PacketView& v, const PacketInfo& packet, int64_t s, int64_t payloadEnd,
                                  int64_t& e)
{
    int64_t at = 0;
    int r = ParsePayloadHeader(v, packet, s, payloadEnd, at);
    if (r != 0)
        return r;
    if (payloadEnd - at < 2)
        return 1;
    if ((r = v.Need(at, 2)) != 0)
        return r;
    const uint32_t size = LoadLE(v.b + at, 2);
    e = at + 2 + size;
    if (size == 0 || e > payloadEnd)
        return 1;
    if (e > v.n)
        return 2;
    m_payloads.push_back({v.start + s, v.start + e});
    return 0;
}

// ---------------------------------------------------------------------------
// Rebuild.

int CASFRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    int r = WriteHeaderObject();
    if (r >= 0)
        r = WriteDataObject();
    if (r >= 0)
        r = CorrectFileProperties();
    return r < 0 ? r : 0;
}

int CASFRepair::WriteHeaderObject()
{
    if (!m_haveHeader || m_filePropertiesOffset < 0)
        return MEND_ERR_UNREPAIRABLE;
    if (m_input->SeekTo(m_headerStart) != m_headerStart)
        return MEND_ERR_READ;
    return WriteToFile(m_headerEnd - m_headerStart);
}

int CASFRepair::WriteDataObject()
{
    IBaseStream* out = m_output;
    const int64_t d = out->GetPos();
    if (d < 0)
        return MEND_ERR_WRITE;
    const uint64_t size = kDataObjectHeaderSize + m_packetTotal * m_packetSize;
    const uint64_t count = m_packetTotal;
    const uint16_t reserved = 0;
    if (!WriteField(out, *GuidOfMacro(kMacroData)) || !WriteField(out, size) || !WriteField(out, m_fileId) ||
        !WriteField(out, count) || !WriteField(out, reserved))
        return MEND_ERR_WRITE;
    // Readers take the first packet's error correction data as the rule
    // for the file: when one packet has no room for it, none carries it.
    m_errorCorrection = true;
    for (const PacketInfo& packet : m_packets) {
        const uint64_t bytes = PayloadBytes(packet);
        m_errorCorrection = m_errorCorrection && bytes + 11 <= m_packetSize;
    }
    m_packetsWritten = 0;
    // Packets that stand as the rebuild would write them are copied in
    // runs of neighbours: most of a damaged file is such runs.
    int64_t runStart = 0, runEnd = 0;
    uint64_t runPackets = 0;
    auto flush = [&]() {
        if (runPackets == 0)
            return 0;
        if (m_input->SeekTo(runStart) != runStart)
            return int(MEND_ERR_READ);
        int r = WriteToFile(runEnd - runStart);
        m_packetsWritten += runPackets;
        runPackets = 0;
        return r;
    };
    for (const PacketInfo& packet : m_packets) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (m_errorCorrection && packet.verbatim && packet.end - packet.start == int64_t(m_packetSize) * packet.count) {
            if (runPackets > 0 && packet.start == runEnd) {
                runEnd = packet.end;
                runPackets += packet.count;
                continue;
            }
            int r = flush();
            if (r < 0)
                return r;
            runStart = packet.start;
            runEnd = packet.end;
            runPackets = packet.count;
            continue;
        }
        int r = flush();
        if (r < 0)
            return r;
        if (packet.count > 1) {
            // A run written packet by packet: each is read again.
            for (uint32_t k = 0; k < packet.count; ++k) {
                if (TestAbort())
                    return MEND_ERR_ABORTED;
                const size_t payloads = m_payloads.size();
                PacketInfo one;
                r = ReparsePacket(packet.start + int64_t(k) * m_packetSize, one);
                bool written = false;
                if (r == 0)
                    r = WritePacket(one, written);
                else if (r > 0)
                    AddError(JRVP_DAMAGE_DATA_LOST);
                m_payloads.resize(payloads);
                if (r < 0)
                    return r;
                m_packetsWritten += written;
            }
            continue;
        }
        bool written = false;
        r = WritePacket(packet, written);
        if (r < 0)
            return r;
        m_packetsWritten += written;
    }
    int r = flush();
    if (r < 0)
        return r;
    if (m_packetsWritten != count) {
        const int64_t end = out->GetPos();
        const uint64_t realSize = kDataObjectHeaderSize + m_packetsWritten * m_packetSize;
        int r = PatchOutput(d + 16, &realSize, sizeof(realSize));
        if (r == 0)
            r = PatchOutput(d + 40, &m_packetsWritten, sizeof(m_packetsWritten));
        if (r < 0)
            return r;
        if (out->SeekTo(end) != end)
            return MEND_ERR_WRITE;
    }
    return 0;
}

int CASFRepair::WritePacket(const PacketInfo& packet, bool& written)
{
    written = false;
    IBaseStream* out = m_output;
    const uint64_t bytes = PayloadBytes(packet);
    const uint64_t n = m_packetSize;
    // A packet the 6-bit payload count cannot describe, or one whose
    // payloads leave no room for the shortest header, is dropped.
    if (packet.payloadCount == 0 || (packet.multiple && packet.payloadCount > kMaxPayloads) || bytes + 8 > n) {
        AddError(JRVP_DAMAGE_DATA_LOST);
        return 0;
    }
    const uint64_t room = n - bytes;
    // Without error correction data the header is 8 bytes plus the
    // Padding Length field.
    const bool correction = m_errorCorrection;
    const uint64_t header = correction ? 11 : 8;
    uint8_t lengthType = packet.multiple ? kMultiplePayloads : 0;
    int paddingField = 0;
    uint64_t padding = 0;
    const uint64_t left = room - header;
    paddingField = PaddingFieldFor(left);
    padding = left - paddingField;
    lengthType |= static_cast<uint8_t>((paddingField == 4 ? 3 : paddingField) << 3);
    uint8_t head[16];
    size_t k = 0;
    if (correction) {
        head[k++] = kErrorCorrection;
        head[k++] = 0;
        head[k++] = 0;
    }
    head[k++] = lengthType;
    head[k++] = kPropertyFlags;
    const uint32_t pad32 = static_cast<uint32_t>(padding);
    std::memcpy(head + k, &pad32, paddingField);
    k += paddingField;
    std::memcpy(head + k, &packet.sendTime, 4);
    k += 4;
    std::memcpy(head + k, &packet.duration, 2);
    k += 2;
    if (out->Write(head, static_cast<unsigned int>(k)) != k)
        return MEND_ERR_WRITE;
    int r = 0;
    if (packet.multiple)
        r = WriteMultiplePayloads(packet);
    else
        r = WriteSinglePayload(m_payloads[packet.firstPayload]);
    if (r < 0)
        return r;
    static const uint8_t zeros[4096] = {};
    while (padding > 0) {
        const unsigned int chunk = static_cast<unsigned int>(std::min<uint64_t>(padding, sizeof(zeros)));
        if (out->Write(zeros, chunk) != chunk)
            return MEND_ERR_WRITE;
        padding -= chunk;
    }
    written = true;
    return 0;
}

uint64_t CASFRepair::PayloadBytes(const PacketInfo& packet) const
{
    uint64_t bytes = packet.multiple ? 1 : 0;
    for (uint32_t i = 0; i < packet.payloadCount; ++i) {
        const PayloadInfo& pl = m_payloads[packet.firstPayload + i];
        bytes += static_cast<uint64_t>(pl.end - pl.start);
    }
    return bytes;
}

int CASFRepair::WriteSinglePayload(const PayloadInfo& payload)
{
    if (m_input->SeekTo(payload.start) != payload.start)
        return MEND_ERR_READ;
    return WriteToFile(payload.end - payload.start);
}

int CASFRepair::WriteMultiplePayloads(const PacketInfo& packet)
{
    const uint8_t flags = static_cast<uint8_t>(kPayloadLengthWord | packet.payloadCount);
    if (!WriteField(m_output, flags))
        return MEND_ERR_WRITE;
    for (uint32_t i = 0; i < packet.payloadCount; ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int r = WriteSinglePayload(m_payloads[packet.firstPayload + i]);
        if (r < 0)
            return r;
    }
    return 0;
}

int CASFRepair::PatchOutput(int64_t at, const void* value, unsigned int n)
{
    if (m_output->SeekTo(at) != at)
        return MEND_ERR_WRITE;
    return m_output->Write(value, n) == n ? 0 : MEND_ERR_WRITE;
}

int CASFRepair::CorrectFileProperties()
{
    IBaseStream* out = m_output;
    const int64_t end = out->GetPos();
    if (end < 0)
        return MEND_ERR_WRITE;
    // The header is copied to the start of the output, whichever Header
    // Object of the input it was: its fields move with it.
    const int64_t f = m_filePropertiesOffset - m_headerStart;
    for (const HeaderPatch& patch : m_patches) {
        int r = PatchOutput(patch.offset, &patch.value, static_cast<unsigned int>(patch.bytes));
        if (r < 0)
            return r;
    }
    const uint64_t fileSize = static_cast<uint64_t>(end);
    const uint64_t play = m_sendDuration + m_preroll * 10000;
    // A repaired recording is a file, not a broadcast: its size, count and
    // durations are now true.
    const uint32_t flags = m_flags & ~kFpBroadcast;
    int r = PatchOutput(f + kFpFileSize, &fileSize, 8);
    if (r == 0)
        r = PatchOutput(f + kFpPacketsCount, &m_packetsWritten, 8);
    if (r == 0)
        r = PatchOutput(f + kFpPlayDuration, &play, 8);
    if (r == 0)
        r = PatchOutput(f + kFpSendDuration, &m_sendDuration, 8);
    if (r == 0)
        r = PatchOutput(f + kFpFlags, &flags, 4);
    if (r < 0)
        return r;
    return out->SeekTo(end) == end ? 0 : MEND_ERR_WRITE;
}
