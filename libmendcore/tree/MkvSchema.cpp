#include "tree/MkvSchema.h"

#include <stdlib.h>

namespace {

using Row = TSchemaRow<unsigned int>;

constexpr bool M = true;   // mandatory
constexpr bool R = true;   // repeatable
constexpr bool o = false;

MkvSchemaTree::Rows MatroskaRows()
{
    MkvSchemaTree::Rows rows;
    auto add = [&rows](unsigned int id, bool mandatory, bool repeatable, std::vector<unsigned int> children = {}) {
        rows[id] = Row{mandatory, repeatable, std::move(children)};
    };
    // Build root: its children are the top level.
    add(0, o, o, {MKV_ID_EBML, MKV_ID_SEGMENT});

    add(MKV_ID_EBML, M, o, {0x4286, 0x42F7, 0x42F2, 0x42F3, MKV_ID_DOCTYPE, 0x4287, 0x4285});
    for (unsigned int id : {0x4286u, 0x42F7u, 0x42F2u, 0x42F3u, 0x4287u, 0x4285u})
        add(id, o, o);
    add(MKV_ID_DOCTYPE, M, o);

    add(MKV_ID_SEGMENT, M, o,
        {MKV_ID_INFO, MKV_ID_TRACKS, MKV_ID_CUES, MKV_ID_TAGS, MKV_ID_SEEKHEAD, MKV_ID_ATTACHMENTS, MKV_ID_CLUSTER,
         MKV_ID_CHAPTERS});

    // Info
    add(MKV_ID_INFO, M, R,
        {MKV_ID_TIMECODESCALE, MKV_ID_DURATION, 0x7BA9, MKV_ID_WRITINGAPP, MKV_ID_MUXINGAPP, 0x4461, 0x73A4, 0x7384, 0x3CB923, 0x3C83AB,
         0x3EB923, 0x3E83BB, 0x4444, 0x6924});
    for (unsigned int id : {unsigned(MKV_ID_TIMECODESCALE), unsigned(MKV_ID_DURATION), 0x7BA9u, 0x4461u, 0x73A4u, 0x7384u, 0x3CB923u,
                            0x3C83ABu, 0x3EB923u, 0x3E83BBu})
        add(id, o, o);
    add(MKV_ID_WRITINGAPP, M, o);
    add(MKV_ID_MUXINGAPP, M, o);
    add(0x4444, o, R);  // SegmentFamily
    add(0x6924, o, R, {0x69FC, 0x69BF, 0x69A5});  // ChapterTranslate
    add(0x69FC, o, R);
    add(0x69BF, M, o);
    add(0x69A5, M, o);

    // Tracks: a TrackEntry is taken whole; its contents are not checked.
    add(MKV_ID_TRACKS, o, R, {0xAE});
    add(0xAE, M, R);

    // Cues
    add(MKV_ID_CUES, o, o, {0xBB});
    add(0xBB, M, R, {0xB3, 0xB7});
    add(0xB3, M, o);
    add(0xB7, M, R, {0xF7, 0xF1, 0xF0, 0xB2, 0x5378, 0xEA, 0xDB});
    add(0xF7, M, o);
    add(0xF1, M, o);
    for (unsigned int id : {0xF0u, 0xB2u, 0x5378u, 0xEAu})
        add(id, o, o);
    add(0xDB, o, R, {0x96});
    add(0x96, M, o);

    // Tags
    add(MKV_ID_TAGS, o, R, {0x7373});
    add(0x7373, M, R, {0x63C0, 0x67C8});
    add(0x63C0, o, o, {0x68CA, 0x63CA, 0x63C5, 0x63C9, 0x63C4, 0x63C6});
    add(0x68CA, o, o);
    add(0x63CA, o, o);
    for (unsigned int id : {0x63C5u, 0x63C9u, 0x63C4u, 0x63C6u})
        add(id, o, R);
    add(0x67C8, M, R, {0x45A3, 0x447A, 0x447B, 0x4484, 0x4487, 0x4485});
    add(0x45A3, M, o);
    for (unsigned int id : {0x447Au, 0x447Bu, 0x4484u, 0x4487u, 0x4485u})
        add(id, o, o);

    // SeekHead
    add(MKV_ID_SEEKHEAD, o, R, {MKV_ID_SEEK});
    add(MKV_ID_SEEK, M, R, {MKV_ID_SEEKID, MKV_ID_SEEKPOSITION});
    add(MKV_ID_SEEKID, M, o);
    add(MKV_ID_SEEKPOSITION, M, o);

    // Attachments
    add(MKV_ID_ATTACHMENTS, o, o, {0x61A7});
    add(0x61A7, M, R, {0x467E, 0x466E, 0x4660, 0x465C, 0x46AE});
    add(0x467E, o, o);
    for (unsigned int id : {0x466Eu, 0x4660u, 0x465Cu, 0x46AEu})
        add(id, M, o);

    // Cluster
    add(MKV_ID_CLUSTER, o, R, {MKV_ID_TIMECODE, 0xA7, 0xAB, MKV_ID_BLOCKGROUP, MKV_ID_SIMPLEBLOCK, 0x5854});
    add(MKV_ID_TIMECODE, M, o);
    add(0xA7, o, o);
    add(0xAB, o, o);
    add(MKV_ID_BLOCKGROUP, o, R,
        {0x75A1, MKV_ID_BLOCK, 0xFB, MKV_ID_BLOCKDURATION, 0xA4, 0x75A2, 0xFA, 0x8E});
    add(0x75A1, o, o, {0xA6});
    add(0xA6, M, R, {0xEE, 0xA5});
    add(0xEE, o, o);
    add(0xA5, M, o);
    add(MKV_ID_BLOCK, M, o);
    add(0xFB, o, R);
    for (unsigned int id : {unsigned(MKV_ID_BLOCKDURATION), 0xA4u, 0x75A2u, 0xFAu, 0x8Eu})
        add(id, o, o);
    add(MKV_ID_SIMPLEBLOCK, o, R);
    add(0x5854, o, o, {0x58D7});
    add(0x58D7, o, R);

    // Chapters
    add(MKV_ID_CHAPTERS, o, o, {0x45B9});
    add(0x45B9, M, R, {0x45BC, 0x45BD, 0x45DB, 0x45DD, 0xB6});
    for (unsigned int id : {0x45BCu, 0x45BDu, 0x45DBu, 0x45DDu})
        add(id, o, o);
    add(0xB6, M, R, {0x73C4, 0x5654, 0x91, 0x92, 0x98, 0x4598, 0x6E67, 0x6EBC, 0x63C3, 0x8F, 0x80, 0x6944});
    add(0x73C4, M, o);
    add(0x91, M, o);
    for (unsigned int id : {0x5654u, 0x92u, 0x98u, 0x4598u, 0x6E67u, 0x6EBCu, 0x63C3u})
        add(id, o, o);
    add(0x8F, o, o, {0x89});
    add(0x89, M, R);
    add(0x80, o, R, {0x85, 0x437C, 0x437D, 0x437E});
    add(0x85, M, o);
    add(0x437C, o, R);
    add(0x437D, o, o);
    add(0x437E, o, R);
    add(0x6944, o, R, {0x6955, 0x450D, 0x6911});
    add(0x6955, o, o);
    add(0x450D, o, o);
    add(0x6911, o, R, {0x6922, 0x6933});
    add(0x6922, M, o);
    add(0x6933, M, o);
    return rows;
}

}  // namespace

const MkvSchemaTree& MkvSchema()
{
    static MkvSchemaTree tree;
    // Built once under the guard of a static's initialisation, so threads
    // that arrive meanwhile wait for it. The rows are fixed: a build that
    // fails is a defect of this table.
    static const bool built = tree.Build(0, MatroskaRows());
    if (!built)
        abort();
    return tree;
}

const TStandardLabelNode<unsigned int>* InitMkvSNode()
{
    return MkvSchema().Top();
}

void DelMkvSNode(const TStandardLabelNode<unsigned int>*)
{
}
