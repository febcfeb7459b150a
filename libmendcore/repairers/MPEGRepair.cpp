// MPEG detection and dispatch, and the byte searches the walks share.
#include "repairers/MPEGRepair.h"

#include <string.h>

#include <algorithm>

// Leaps of up to 150 s are gaps in a recording (a paused camcorder, or
// data lost to damage), not a new recording: closing them would move
// every later frame away from its own time.
const CMPEGRepair::PSTraits CMPEGRepair::kMpeg1Traits = {
    kMpeg1Ps, true, 12, 1, 0xFF, 13500000, true,
};
const CMPEGRepair::PSTraits CMPEGRepair::kMpeg2Traits = {
    kMpeg2Ps, false, 14, 300, 0x7F, 13500000, false,
};

CMPEGRepair::CMPEGRepair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_MPEG;
}

CMPEGRepair::~CMPEGRepair()
{
    CMPEGRepair::Close();
}

void CMPEGRepair::Close()
{
    std::vector<TSRun>().swap(m_tsRuns);
    std::vector<int64_t>().swap(m_tsDropped);
    std::vector<TSFix>().swap(m_tsFixes);
    m_lastPcr = -1;
    m_pids.Clear();
    m_units.clear();
    m_frames.clear();
    std::vector<SizeField>().swap(m_sequenceSizes);
    std::vector<SizeField>().swap(m_patches);
    m_rebase.reset();
    m_damaged = false;
    m_muxRate = 0;
    m_unitBytes = 0;
    m_minTime = m_maxTime = -1;
    CBaseRepair::Close();
}

// The transport stream first: its packets may well hold pack-header look-
// alikes. MPEG-1 before MPEG-2: their pack headers differ in the first bits.
bool CMPEGRepair::CheckFormat()
{
    m_subFormat = kNoSubFormat;
    m_abortSeen = false;
    if (ISMPEG2TS()) {
        m_subFormat = kMpeg2Ts;
        return true;
    }
    // A pack header settles it; without one that holds, a run of PES
    // packets of either form.
    for (bool fromPes : {false, true}) {
        if (!m_abortSeen && IsProgramStream(kMpeg1Traits, fromPes)) {
            m_subFormat = kMpeg1Ps;
            return true;
        }
        if (!m_abortSeen && IsProgramStream(kMpeg2Traits, fromPes)) {
            m_subFormat = kMpeg2Ps;
            return true;
        }
    }
    return false;
}

int CMPEGRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const bool found = CheckFormat();
    if (m_abortSeen || TestAbort())
        return MEND_ERR_ABORTED;
    if (!found)
        return m_input->Failed() ? MEND_ERR_READ : MEND_ERR_NOT_CONTAINER;
    switch (m_subFormat) {
    case kMpeg1Ps:
        return ParseProgramStream(kMpeg1Traits);
    case kMpeg2Ps:
        return ParseProgramStream(kMpeg2Traits);
    case kMpeg2Ts:
        return ParseMPEG2TS();
    default:
        return MEND_ERR_REPAIR_REFUSED;
    }
}

int CMPEGRepair::RepairLevel1()
{
    int r = 0;
    switch (m_subFormat) {
    case kMpeg1Ps:
    case kMpeg2Ps:
        r = RepairLevel1ProgramStream(Traits());
        break;
    case kMpeg2Ts:
        r = RepairLevel1MPEG2TS();
        break;
    default:
        break;
    }
    SolveError(JRVP_DAMAGE_SEGMENT);
    SolveError(JRVP_DAMAGE_TIMING);
    return r;
}

int64_t CMPEGRepair::Peek(int64_t pos, int64_t n)
{
    if (pos < 0 || pos >= m_inputLength || n <= 0)
        return 0;
    n = std::min(n, m_inputLength - pos);
    if (static_cast<int64_t>(m_window.size()) < n)
        m_window.resize(n);
    if (m_input->SeekTo(pos) != pos)
        return MEND_ERR_READ;
    if (m_input->Read(m_window.data(), static_cast<unsigned int>(n)) != n)
        return MEND_ERR_READ;
    return n;
}

// The walks look at a few bytes per unit: they read them in place from the
// input window, refilled only when a view leaves it, instead of a seek and
// a read through the stream layer per field.
int64_t CMPEGRepair::View(int64_t pos, int64_t n)
{
    m_view = nullptr;
    if (pos < 0 || pos >= m_inputLength || n <= 0)
        return 0;
    n = std::min({n, m_inputLength - pos, CReadWindow::kSize});
    m_view = PeekInput(pos, static_cast<unsigned int>(n));
    return m_view ? n : static_cast<int64_t>(MEND_ERR_READ);
}

// Reads the input in blocks from `from` and returns the first position at
// which match(block, i, n) holds, `tail` bytes of look-ahead kept from one
// block to the next. One pass over the bytes, however much damage there is.
template <typename Match>
int64_t CMPEGRepair::FindForward(int64_t from, int64_t tail, Match match)
{
    constexpr int64_t kBlock = 64 * 1024;
    if (m_scan.size() < static_cast<size_t>(kBlock))
        m_scan.resize(kBlock);
    int64_t pos = std::max<int64_t>(from, 0);
    while (pos + tail < m_inputLength) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = std::min(kBlock, m_inputLength - pos);
        if (m_input->SeekTo(pos) != pos || m_input->Read(m_scan.data(), static_cast<unsigned int>(n)) != n)
            return MEND_ERR_READ;
        const int64_t last = n - tail;
        for (int64_t i = 0; i < last; ++i)
            if (match(m_scan.data(), i))
                return pos + i;
        pos += last;
    }
    return m_inputLength;
}

int64_t CMPEGRepair::FindStartCode(int64_t from)
{
    return FindForward(from, 3, [](const uint8_t* b, int64_t i) {
        return b[i + 2] <= 1 && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1;
    });
}

// A long run without one (a hole of zeros) is crossed with memchr through
// the input window, a megabyte at a time.
int64_t CMPEGRepair::FindSyncByte(int64_t from)
{
    return NextCandidate(from, m_inputLength, [](const uint8_t* b, size_t n) {
        return static_cast<const uint8_t*>(memchr(b, 0x47, n));
    });
}
