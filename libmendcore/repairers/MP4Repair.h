// Repairer of the ISO base media family (MP4, MOV, M4V, M4A, 3GP, 3G2).
//
// The analysis walks the top-level boxes, checks every declared size against
// what really follows it, searches for the true end of a box whose size does
// not hold, and checks that the movie box holds what a player needs. The
// rebuild writes the ftyp and a rebuilt movie box whose sample tables name
// only samples whose bytes are present, then the surviving top-level boxes
// in input order, and moves every chunk offset with the box its data lies in.
#ifndef MENDCORE_MP4REPAIR_H
#define MENDCORE_MP4REPAIR_H

#include <stdint.h>

#include <vector>

#include "core/BaseRepair.h"

class CMP4Repair : public CBaseRepair {
public:
    explicit CMP4Repair(IBaseStream* in);
    ~CMP4Repair() override;

    int Open() override;
    void Close() override;
    int RepairLevel1() override;
    int RepairLevel2() override;
    int RepairLevel3(const char* refPath) override;

    // One box: FourCC, size (declared, or corrected by the damage search)
    // and the position of its first header byte.
    struct BoxInfo {
        uint32_t fourcc;
        int64_t size;
        int64_t start;
    };

    // Box table lookups. Macro 249: a FourCC the table lacks whose bytes are
    // all letters or digits; 250: anything else. Levels run 1 (top) to 7.
    static int Uint2Macro(uint32_t fourcc);
    static int Uint2Level(uint32_t fourcc);

    // A box size can never exceed this: anything larger is damage, and
    // start + size cannot overflow.
    static constexpr int64_t kMaxBoxSize = int64_t(1) << 62;

private:
    struct BoxHeader {
        int64_t start = 0;
        int64_t size = 0;
        uint32_t fourcc = 0;
        int headerLength = 8;
        // Fewer bytes than a header (or its largesize) before the limit.
        bool endMark = false;
    };
    struct TrakInfo;
    struct OutItem;
    struct TrackFragment;
    struct FragmentPlace;
    struct OffsetField;
    struct FieldFix;
    struct TrackTimes;
    class CTableReader;
    class CSampleSizes;
    class CScanBlock;

    // Analysis.
    int ReadBoxHeader(BoxHeader& h, int64_t pos, int64_t limit);
    int Probe();
    int ProbeAfterZeroHeader();
    int64_t JudgeBox(const BoxHeader& h, bool loss);
    int64_t CheckLossMdat(const BoxHeader& h, bool loss);
    int64_t CheckLossOthers(const BoxHeader& h, bool loss);
    int64_t RecordLoss(const BoxHeader& h, int64_t size, bool loss);
    int64_t RecordSizeLoss(const BoxHeader& h, int64_t size, bool loss);
    bool PlausibleSize(const BoxHeader& h, int64_t limit) const;
    int ChildrenFill(const BoxHeader& h, bool& filled);
    // Where the run of a container's own (non-top-level) boxes ends.
    int OwnBoxesEnd(const BoxHeader& h, int64_t& end);
    int LooksLikeMoov(uint32_t fourcc, int64_t p, bool& yes);
    int FindMoov(uint32_t fourcc, int64_t from, int64_t to, bool backward, int64_t& found);
    int IsCandidateEnd(const BoxHeader& c, bool& yes);
    int ReadBoxMoov(const BoxHeader& h);
    // How a child of the movie box was judged.
    enum class ChildVerdict { kWhole, kSizeBroken, kInsideBroken };
    int WalkMovie(int headerLength);
    int JudgeMovieChild(BoxHeader& c, int64_t end, ChildVerdict& verdict);
    int ChildEndHolds(const BoxHeader& c, int64_t end, bool& holds);
    int FindMovieChild(int64_t from, int64_t end, int64_t& found);
    bool Spend(int64_t bytes);
    int WalkContainer(const BoxInfo& box, int headerLength, bool& damaged, bool& incomplete);
    int CheckSampleDescriptions(const BoxHeader& stsd, bool& damaged);
    int CheckTimescales();
    bool ReadTime(int64_t at, int version, uint64_t& v);
    void AddTimeFix(int64_t at, int version, uint64_t value);
    int ReadTrackTimes(const BoxInfo& trak, TrackTimes& t, bool& usable);
    int CheckMovieTimescale(const std::vector<TrackTimes>& tracks, int64_t mvhdStart, int64_t scaleAt,
                            uint32_t& movieScale);
    // The media timescale a track's two durations give in the movie's
    // time base (0 when they give none), and whether the track's own is far
    // from it.
    static uint64_t ScaleFromDurations(const TrackTimes& t, uint64_t media, uint32_t movieScale);
    static bool MediaScaleApart(const TrackTimes& t, uint32_t movieScale);
    int CheckMediaTimescale(TrackTimes& t, uint32_t movieScale);
    int CheckEditList(const TrackTimes& t, uint32_t movieScale);
    int FindChildBox(const BoxInfo& parent, uint32_t fourcc, BoxHeader& found, bool& present);
    int SampleTimesTotal(const BoxInfo& stbl, uint64_t& total);
    void AddFix(int64_t input, uint32_t value);
    int ReadFixedField(int64_t input, uint32_t& value);
    uint32_t FixedValue(int64_t input, uint32_t value) const;
    // Where a container of the movie whose size does not hold really ends:
    // after the run of its own sound children, where a sound sibling (or
    // the end of its parent) begins. `found` is false when no such end is.
    int MendContainerEnd(const BoxHeader& c, int64_t limit, int64_t& end, bool& found);
    // Where a sample table box (or the sample descriptions) whose size does
    // not hold really ends: after the entries its count names, where the
    // next box (or the end of its parent) begins.
    int TableEnd(const BoxHeader& c, int64_t limit, int64_t& end, bool& found);
    // Mends a box's size in place when one of the two above finds its end.
    int MendBoxSize(BoxHeader& c, int64_t limit, bool& mended);
    // What stands at pos in a list of boxes ending at end.
    enum class ListStep { kBox, kEnd, kDamage };
    int NextInList(int64_t pos, int64_t end, BoxHeader& c, ListStep& step);
    int IsZeroRun(int64_t from, int64_t to, bool& yes);
    int ZeroTailStart(int64_t& tail);
    bool IsLost(int64_t start) const;
    int CheckSampleTables();
    int SurveyTraks(std::vector<TrakInfo>& infos, bool& anyCut);
    int FindSplice(bool& found);
    uint64_t ChunkPosition(uint64_t written) const;
    int FindDataEnds();
    // Fragments: where each track fragment says its data lies, checked
    // against the media data that follows its "moof".
    int ReadTrackDefaults();
    int ReadTfhd(const BoxHeader& b, TrackFragment& t);
    int ReadTrun(const BoxHeader& b, TrackFragment& t);
    int ReadTrackFragment(const BoxHeader& traf, TrackFragment& t);
    int PlaceFragment(const FragmentPlace& place, bool record, bool& fits, bool& stale);
    bool PlaceTrackFragments(const FragmentPlace& place, const std::vector<TrackFragment>& trafs, bool fromMoof,
                             std::vector<OffsetField>& fields);
    int CheckFragments();
    bool PrecedingFragment(int64_t mdatStart, BoxInfo& moof) const;
    void MarkLost(const BoxInfo& box);

    // Rebuild.
    int SurveyTrak(size_t index, TrakInfo& info, std::vector<int64_t>& keptEnd);
    bool FindDataRange(int64_t offset, int64_t& rangeEnd, size_t& mdatIndex) const;
    int BuildOutItems(const std::vector<int64_t>& keptEnd, std::vector<OutItem>& items);
    int RLTWriteMoov(std::vector<TrakInfo>& traks);
    int RLTWriteTrak(const BoxHeader& trak, const TrakInfo& info, uint32_t movieTimescale,
                     uint64_t& trackDuration);
    int BeginTable(const BoxHeader& h, uint32_t outFourcc, int64_t& outStart, uint32_t& firstField);
    int BeginEntries(const BoxHeader& h, int width, int64_t& outStart, uint64_t& entries);
    int EndTable(int64_t outStart, uint32_t written);
    int RLTWriteStts(const BoxHeader& h, uint32_t keep, bool withDuration, uint64_t& duration);
    int RLTWriteStsc(const BoxHeader& h, const TrakInfo& info);
    int RLTWriteSampleSizes(const BoxHeader& h, uint32_t keep);
    int RLTWriteChunkOffsets(const BoxHeader& h, const TrakInfo& info);
    int RLTWriteStss(const BoxHeader& h, uint32_t keep);
    int RLTWriteItems(const std::vector<OutItem>& items);
    int RLTCorrectStcoCo64(const std::vector<OutItem>& items, std::vector<TrakInfo>* promote, bool& promoted);
    int RLTCorrectBaseOffsets(const std::vector<OutItem>& items);
    int64_t Displacement(const std::vector<OutItem>& items, int64_t inputOffset, bool& found) const;

    // Output helpers.
    int BeginBox(uint32_t fourcc, int64_t& outStart);
    int EndBox(int64_t outStart);
    int CopyRange(int64_t from, int64_t n);
    int PatchBE(int64_t outPos, uint64_t value, int bytes);

    bool m_unrepairable = false;
    bool m_haveFtyp = false;
    BoxInfo m_ftyp{0, 0, 0};
    bool m_haveMoov = false;
    BoxInfo m_moov{0, 0, 0};
    std::vector<BoxInfo> m_mdats;
    // Every top-level box but ftyp, moov and mdat, in file order.
    std::vector<BoxInfo> m_others;
    // Boxes whose declared size did not hold, with the size found instead.
    std::vector<BoxInfo> m_lost;
    // The children of the movie box that survived whole, in file order:
    // what the rebuild writes into the new movie box.
    std::vector<BoxInfo> m_movieChildren;
    // One "stbl" per whole "trak" of the movie box, in track order, with
    // the handler type of its media ("vide", "soun", ...).
    struct SampleTable {
        BoxInfo box{0, 0, 0};
        uint32_t handler = 0;
    };
    std::vector<SampleTable> m_sampleTables;
    // The 64-bit base data offset of a track fragment: where the field lies
    // in the input, the input position it must name, and an input position
    // of the data named through it, whose move the rebuild gives the field.
    // (Records of our own: a vector of a library type alone would be
    // exported from the shared library.)
    struct OffsetField {
        int64_t input;
        int64_t target;
        int64_t data;
    };
    std::vector<OffsetField> m_baseOffsets;
    // A 32-bit field that the analysis found wrong (a count, a size, a
    // timescale) and the value the rebuild writes in its place, wherever
    // the box that holds it is copied. Kept in input order.
    struct FieldFix {
        int64_t input;
        uint32_t value;
    };
    std::vector<FieldFix> m_fixes;
    // The default sample size of each track's fragments ("trex").
    struct TrackDefault {
        uint32_t track;
        uint32_t sampleSize;
    };
    std::vector<TrackDefault> m_trackDefaults;
    // Output positions of the chunk-offset boxes written by one rebuild,
    // with the track they belong to.
    std::vector<std::pair<int64_t, size_t>> m_chunkBoxes;
    // Per media-data box, where its usable bytes end (rebuild only).
    std::vector<int64_t> m_dataEnd;
    // Bytes the damage searches may still read: hostile files with many
    // broken boxes must not make the analysis quadratic.
    int64_t m_searchBudget = 0;
    // A run of bytes spliced in between boxes: chunk offsets written before
    // it came name the data after it `length` bytes early. Used only where
    // the tables then name their data whole, and do not without it.
    struct Splice {
        int64_t start = 0;
        int64_t length = 0;
        bool active = false;
    };
    Splice m_splice;
    // Where the run of zero bytes that ends the input begins; -1 until asked.
    int64_t m_zeroTail = -1;
};

#endif
