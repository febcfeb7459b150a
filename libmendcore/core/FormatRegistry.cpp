#include "core/FormatRegistry.h"

#include <string.h>
#include <strings.h>

#include "repairers/ASFRepair.h"
#include "repairers/AVIRepair.h"
#include "repairers/FLVRepair.h"
#include "repairers/MP3Repair.h"
#include "repairers/MP4Repair.h"
#include "repairers/MPEGRepair.h"
#include "repairers/OGGRepair.h"
#include "repairers/WAVRepair.h"
#include "tree/MKVRepair.h"
#include "tree/RMVBRepair.h"

namespace {

const char* const ExtAviArr[] = {".avi"};
const char* const ExtMp4Arr[] = {".mp4", ".m4v", ".m4a", ".3gp", ".3g2", ".mov"};
const char* const ExtAsfArr[] = {".asf", ".wmv", ".wma"};
const char* const ExtFlvArr[] = {".flv"};
const char* const ExtMkvArr[] = {".mkv", ".webm"};
const char* const ExtRmvbArr[] = {".rmvb", ".rm"};
const char* const ExtMpegArr[] = {".mpg", ".mpeg", ".ts", ".m2ts", ".vob"};
const char* const ExtMp3Arr[] = {".mp3"};
const char* const ExtWavArr[] = {".wav"};
// Theora, Ogg Media and Opus files go straight to the Ogg repairer as well.
const char* const ExtOggArr[] = {".ogg", ".oga", ".ogv", ".ogm", ".opus"};

template <size_t N>
constexpr ExtFormatRow Row(JRVPVideoFormat format, const char* const (&arr)[N])
{
    return ExtFormatRow{format, arr, N};
}

}  // namespace

const ExtFormatRow ExtFormatArr[] = {
    Row(JRVP_FORMAT_AVI, ExtAviArr),
    Row(JRVP_FORMAT_MP4, ExtMp4Arr),
    Row(JRVP_FORMAT_ASF, ExtAsfArr),
    Row(JRVP_FORMAT_FLV, ExtFlvArr),
    Row(JRVP_FORMAT_MKV, ExtMkvArr),
    Row(JRVP_FORMAT_RMVB, ExtRmvbArr),
    Row(JRVP_FORMAT_MPEG, ExtMpegArr),
    Row(JRVP_FORMAT_MP3, ExtMp3Arr),
    Row(JRVP_FORMAT_WAV, ExtWavArr),
    Row(JRVP_FORMAT_OGG, ExtOggArr),
    ExtFormatRow{JRVP_FORMAT_NONE, nullptr, 0},
};

JRVPVideoFormat GuessFormat(const char* path)
{
    if (!path)
        return JRVP_FORMAT_NONE;
    const char* ext = strrchr(path, '.');
    if (!ext)
        return JRVP_FORMAT_NONE;
    for (const ExtFormatRow* row = ExtFormatArr; row->extensions; ++row)
        for (size_t i = 0; i < row->count; ++i)
            if (strcasecmp(ext, row->extensions[i]) == 0)
                return row->format;
    return JRVP_FORMAT_NONE;
}

std::unique_ptr<IBaseRepair> NewRepairer(JRVPVideoFormat format, IBaseStream* input)
{
    switch (format) {
    case JRVP_FORMAT_AVI:
        return std::make_unique<CAVIRepair>(input);
    case JRVP_FORMAT_MP4:
        return std::make_unique<CMP4Repair>(input);
    case JRVP_FORMAT_FLV:
        return std::make_unique<CFLVRepair>(input);
    case JRVP_FORMAT_ASF:
        return std::make_unique<CASFRepair>(input);
    case JRVP_FORMAT_MKV:
        return std::make_unique<CMKVRepair>(input);
    case JRVP_FORMAT_OGG:
        return std::make_unique<COGGRepair>(input);
    case JRVP_FORMAT_MP3:
        return std::make_unique<CMP3Repair>(input);
    case JRVP_FORMAT_WAV:
        return std::make_unique<CWAVRepair>(input);
    case JRVP_FORMAT_MPEG:
        return std::make_unique<CMPEGRepair>(input);
    case JRVP_FORMAT_RMVB:
        return std::make_unique<CRMVBRepair>(input);
    // Each container's repairer joins here as it is built; until then the
    // container answers "not this container" and the search goes on.
    default:
        return nullptr;
    }
}
