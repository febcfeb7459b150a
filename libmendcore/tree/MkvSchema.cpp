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

    // Tracks. A TrackEntry's children are parsed like any others: bytes
    // inside one that read as no element are damage, and an entry without
    // its number, type or codec describes no track a player can use.
    add(MKV_ID_TRACKS, o, R, {MKV_ID_TRACKENTRY});
    add(MKV_ID_TRACKENTRY, M, R,
        {MKV_ID_TRACKNUMBER, 0x73C5, MKV_ID_TRACKTYPE, 0xB9, 0x88, 0x55AA, 0x55AB, 0x55AC, 0x55AD, 0x55AE, 0x55AF, 0x9C,
         0x6DE7, 0x6DF8, 0x23E383, 0x234E7A, 0x23314F, 0x537F, 0x55EE, 0x41E4, 0x536E, 0x22B59C, 0x22B59D,
         MKV_ID_CODECID, 0x63A2, 0x258688, 0x7446, 0x3A9697, 0x3B4040, 0x26B240, 0xAA, 0x6FAB, 0x56AA, 0x56BB, 0x6624,
         0xE0, 0xE1, 0xE2, 0xC0, 0xC1, 0xC6, 0xC7, 0xC4, 0x6D80});
    add(MKV_ID_TRACKNUMBER, M, o);
    add(MKV_ID_TRACKTYPE, M, o);
    add(MKV_ID_CODECID, M, o);
    for (unsigned int id : {0x73C5u, 0xB9u, 0x88u, 0x55AAu, 0x55ABu, 0x55ACu, 0x55ADu, 0x55AEu, 0x55AFu, 0x9Cu, 0x6DE7u,
                            0x6DF8u, 0x23E383u, 0x234E7Au, 0x23314Fu, 0x537Fu, 0x55EEu, 0x536Eu, 0x22B59Cu, 0x22B59Du,
                            0x63A2u, 0x258688u, 0x3A9697u, 0xAAu, 0x56AAu, 0x56BBu, 0xC0u, 0xC1u, 0xC6u, 0xC7u, 0xC4u})
        add(id, o, o);
    for (unsigned int id : {0x7446u, 0x3B4040u, 0x26B240u, 0x6FABu})
        add(id, o, R);
    add(0x41E4, o, R, {0x41F0, 0x41A4, 0x41E7, 0x41ED});  // BlockAdditionMapping
    for (unsigned int id : {0x41F0u, 0x41A4u, 0x41E7u, 0x41EDu})
        add(id, o, o);
    add(0x6624, o, R, {0x66FC, 0x66BF, 0x66A5});  // TrackTranslate
    add(0x66FC, o, R);
    add(0x66BF, o, o);
    add(0x66A5, o, o);
    // Video, with its colour and projection
    add(0xE0, o, o,
        {0x9A, 0x9D, 0x53B8, 0x53C0, 0x53B9, 0xB0, 0xBA, 0x54AA, 0x54BB, 0x54CC, 0x54DD, 0x54B0, 0x54BA, 0x54B2, 0x54B3,
         0x2EB524, 0x2FB523, 0x2383E3, 0x55B0, 0x7670});
    // A picture size is what a decoder starts from.
    add(0xB0, M, o);  // PixelWidth
    add(0xBA, M, o);  // PixelHeight
    for (unsigned int id : {0x9Au, 0x9Du, 0x53B8u, 0x53C0u, 0x53B9u, 0x54AAu, 0x54BBu, 0x54CCu, 0x54DDu,
                            0x54B0u, 0x54BAu, 0x54B2u, 0x54B3u, 0x2EB524u, 0x2FB523u, 0x2383E3u})
        add(id, o, o);
    add(0x55B0, o, o,
        {0x55B1, 0x55B2, 0x55B3, 0x55B4, 0x55B5, 0x55B6, 0x55B7, 0x55B8, 0x55B9, 0x55BA, 0x55BB, 0x55BC, 0x55BD, 0x55D0});
    for (unsigned int id = 0x55B1; id <= 0x55BD; ++id)
        add(id, o, o);
    add(0x55D0, o, o, {0x55D1, 0x55D2, 0x55D3, 0x55D4, 0x55D5, 0x55D6, 0x55D7, 0x55D8, 0x55D9, 0x55DA});
    for (unsigned int id = 0x55D1; id <= 0x55DA; ++id)
        add(id, o, o);
    add(0x7670, o, o, {0x7671, 0x7672, 0x7673, 0x7674, 0x7675});
    for (unsigned int id = 0x7671; id <= 0x7675; ++id)
        add(id, o, o);
    // Audio
    add(0xE1, o, o, {0xB5, 0x78B5, 0x9F, 0x7D7B, 0x6264, 0x52F1});
    for (unsigned int id : {0xB5u, 0x78B5u, 0x9Fu, 0x7D7Bu, 0x6264u, 0x52F1u})
        add(id, o, o);
    // TrackOperation
    add(0xE2, o, o, {0xE3, 0xE9});
    add(0xE3, o, o, {0xE4});
    add(0xE4, o, R, {0xE5, 0xE6});
    add(0xE5, o, o);
    add(0xE6, o, o);
    add(0xE9, o, o, {0xED});
    add(0xED, o, R);
    // ContentEncodings
    add(0x6D80, o, o, {0x6240});
    add(0x6240, o, R, {0x5031, 0x5032, 0x5033, 0x5034, 0x5035});
    for (unsigned int id : {0x5031u, 0x5032u, 0x5033u})
        add(id, o, o);
    add(0x5034, o, o, {0x4254, 0x4255});
    add(0x4254, o, o);
    add(0x4255, o, o);
    add(0x5035, o, o, {0x47E1, 0x47E2, 0x47E7, 0x47E3, 0x47E4, 0x47E5, 0x47E6});
    for (unsigned int id : {0x47E1u, 0x47E2u, 0x47E3u, 0x47E4u, 0x47E5u, 0x47E6u})
        add(id, o, o);
    add(0x47E7, o, o, {0x47E8});
    add(0x47E8, o, o);

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
