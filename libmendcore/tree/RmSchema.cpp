#include "tree/RmSchema.h"

#include <stdlib.h>

namespace {

RmSchemaTree::Rows RealMediaRows()
{
    RmSchemaTree::Rows rows;
    auto add = [&rows](unsigned int id, bool mandatory, bool repeatable, std::vector<unsigned int> children = {}) {
        rows[id] = TSchemaRow<unsigned int>{mandatory, repeatable, std::move(children)};
    };
    add(0, true, false, {RM_ID_RMF, RM_ID_PROP, RM_ID_MDPR, RM_ID_CONT, RM_ID_DATA, RM_ID_INDX, RM_ID_RMMD});
    add(RM_ID_RMF, true, false);
    add(RM_ID_PROP, true, false);
    add(RM_ID_MDPR, true, true);
    add(RM_ID_CONT, false, false);
    add(RM_ID_DATA, true, true);
    add(RM_ID_INDX, false, true);
    add(RM_ID_RMMD, false, false);
    return rows;
}

}  // namespace

const RmSchemaTree& RmSchema()
{
    static RmSchemaTree tree;
    // Built once under the guard of a static's initialisation; the rows are
    // fixed, so a failed build is a defect of this table.
    static const bool built = tree.Build(0, RealMediaRows());
    if (!built)
        abort();
    return tree;
}

std::unique_ptr<RmCodecMap> InitRmffCodecMap()
{
    return std::make_unique<RmCodecMap>(RmCodecMap{
        {RmFourCC('R', 'V', '1', '0'), AV_CODEC_ID_RV10},
        {RmFourCC('R', 'V', '2', '0'), AV_CODEC_ID_RV20},
        {RmFourCC('R', 'V', 'T', 'R'), AV_CODEC_ID_RV20},
        {RmFourCC('R', 'V', '3', '0'), AV_CODEC_ID_RV30},
        {RmFourCC('R', 'V', '4', '0'), AV_CODEC_ID_RV40},
        {RmFourCC('d', 'n', 'e', 't'), AV_CODEC_ID_AC3},
        {RmFourCC('l', 'p', 'c', 'J'), AV_CODEC_ID_RA_144},
        {RmFourCC('2', '8', '_', '8'), AV_CODEC_ID_RA_288},
        {RmFourCC('c', 'o', 'o', 'k'), AV_CODEC_ID_COOK},
        {RmFourCC('a', 't', 'r', 'c'), AV_CODEC_ID_ATRAC3},
        {RmFourCC('s', 'i', 'p', 'r'), AV_CODEC_ID_SIPR},
        {RmFourCC('r', 'a', 'a', 'c'), AV_CODEC_ID_AAC},
        {RmFourCC('r', 'a', 'c', 'p'), AV_CODEC_ID_AAC},
        {RmFourCC('L', 'S', 'D', ':'), AV_CODEC_ID_RALF},
    });
}

AVCodecID RmCodecOf(unsigned int fourcc)
{
    std::unique_ptr<RmCodecMap> map = InitRmffCodecMap();
    auto it = map->find(fourcc);
    return it == map->end() ? AV_CODEC_ID_NONE : it->second;
}
