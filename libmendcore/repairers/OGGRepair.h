// Ogg (RFC 3533): the page walk that accepts a page only when its CRC-32
// holds, mends a page whose one bent table byte the CRC-32 identifies,
// steps over other damage to the next capture pattern, and the rebuild
// that writes every sound page again, in input order.
#ifndef MENDCORE_OGGREPAIR_H
#define MENDCORE_OGGREPAIR_H

#include <stdint.h>

#include <map>
#include <set>
#include <vector>

#include "core/BaseRepair.h"
#include "core/DamagedRuns.h"
#include "core/LargePages.h"

// One sound page.
struct OggPageInfo {
    int64_t start = 0;  // the "OggS" capture pattern
    int64_t end = 0;    // one past the last body byte
    int64_t granule = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    uint8_t headerType = 0;
    uint8_t packetsEnded = 0;   // lacing values below 255
    uint8_t headerPackets = 0;  // first page: the codec's header packets
    // Written by the rebuild: its stream kept its first page and the pages
    // of its codec headers.
    bool decodable = false;
};

class COGGRepair : public CBaseRepair {
public:
    explicit COGGRepair(IBaseStream* in);
    ~COGGRepair() override;

    void Close() override;
    int Open() override;
    int RepairLevel1() override;
    int RepairLevel2() override { return MEND_ERR_CANNOT_REPAIR; }
    int RepairLevel3(const char*) override { return MEND_ERR_CANNOT_REPAIR; }

    // True when a page in the first 10 KiB starts a packet with a known
    // codec head.
    bool CheckFormat();

    // What the walk found; for tests.
    const LargeVector<OggPageInfo>& Pages() const { return m_pages; }
    const std::vector<std::pair<int64_t, int64_t>>& InvalidRanges() const { return m_runs.Runs(); }

private:
    enum PageResult { kPageSound = 0, kPageDamaged = 1 };

    // Judges the page at pos: kPageSound (recorded; end set), kPageDamaged,
    // or a negative internal code.
    int ParsePage(int64_t pos, int64_t& end);
    // The next capture pattern at or after from, or the input length when
    // there is none; a negative internal code on a read error or when the
    // budget is spent.
    int64_t FindCapture(int64_t from);
    // Adds the sound page of size bytes at pos, h its bytes.
    void RecordPage(const uint8_t* h, int64_t pos, int64_t size);
    // Judges a damaged page at pos again, its end taken to be next (the
    // following capture pattern): kPageSound when one bent byte of its
    // segment count or table explains the damage (the page recorded, the
    // byte kept to be written right), kPageDamaged, or a negative code.
    int MendPage(int64_t pos, int64_t next);
    // Copies the input's [from, to) with the mended bytes in it.
    int CopyMended(int64_t from, int64_t to);
    bool Charge(int64_t bytes);
    // Checks the identification header of every stream: mends what the
    // file says, and names the streams whose set-up is lost.
    int CheckCodecHeads();
    int OpusDataChannels(size_t first);
    // Mends the granule position of an Opus or Vorbis page that does not
    // fit between its neighbours.
    int CheckAudioGranules();
    // Seals the page of `bytes` at `start` with its checksum and lists the
    // bytes that differ from `before` to be written.
    void Reseal(int64_t start, std::vector<uint8_t>& bytes, const std::vector<uint8_t>& before);
    // The page's bytes with what was mended in them.
    int ReadMendedPage(const OggPageInfo& page, std::vector<uint8_t>& bytes);
    // Marks the pages of the streams that a demuxer can still set up.
    void MarkDecodableStreams();

    LargeVector<OggPageInfo> m_pages;
    CDamagedRuns m_runs;
    // Bytes of mended pages, as {input offset, value}, in input order.
    std::vector<std::pair<int64_t, uint8_t>> m_fixes;
    // Streams whose identification header a decoder would refuse.
    std::set<uint32_t> m_lostHeads;
    std::set<uint32_t> m_audioStreams;  // Opus and Vorbis: granules count samples
    std::vector<uint8_t> m_block;  // the search window
    int64_t m_budget = 0;
    // Some stream that can be set up holds a packet beyond its headers.
    bool m_playable = false;
    bool m_probeAborted = false;
};

#endif
