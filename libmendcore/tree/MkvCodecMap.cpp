#include "tree/MkvCodecMap.h"

std::unique_ptr<MkvCodecMap> InitMkvCodecMap()
{
    // The PCM ids do not say the sample width, which lives in the track's
    // BitDepth; the map gives the common 16-bit (integer) and 32-bit (float)
    // codecs, as libavformat's own table does.
    return std::make_unique<MkvCodecMap>(MkvCodecMap{
        {"", AV_CODEC_ID_H264},
        {"A_AAC", AV_CODEC_ID_AAC},
        {"A_AC3", AV_CODEC_ID_AC3},
        {"A_ALAC", AV_CODEC_ID_ALAC},
        {"A_DTS", AV_CODEC_ID_DTS},
        {"A_EAC3", AV_CODEC_ID_EAC3},
        {"A_FLAC", AV_CODEC_ID_FLAC},
        {"A_MLP", AV_CODEC_ID_MLP},
        {"A_MPEG/L1", AV_CODEC_ID_MP1},
        {"A_MPEG/L2", AV_CODEC_ID_MP2},
        {"A_MPEG/L3", AV_CODEC_ID_MP3},
        {"A_OPUS", AV_CODEC_ID_OPUS},
        {"A_OPUS/EXPERIMENTAL", AV_CODEC_ID_OPUS},
        {"A_PCM/FLOAT/IEEE", AV_CODEC_ID_PCM_F32LE},
        {"A_PCM/INT/BIG", AV_CODEC_ID_PCM_S16BE},
        {"A_PCM/INT/LIT", AV_CODEC_ID_PCM_S16LE},
        {"A_QUICKTIME/QDMC", AV_CODEC_ID_QDMC},
        {"A_QUICKTIME/QDM2", AV_CODEC_ID_QDM2},
        {"A_REAL/14_4", AV_CODEC_ID_RA_144},
        {"A_REAL/28_8", AV_CODEC_ID_RA_288},
        {"A_REAL/ATRC", AV_CODEC_ID_ATRAC3},
        {"A_REAL/COOK", AV_CODEC_ID_COOK},
        {"A_REAL/SIPR", AV_CODEC_ID_SIPR},
        {"A_TRUEHD", AV_CODEC_ID_TRUEHD},
        {"A_TTA1", AV_CODEC_ID_TTA},
        {"A_VORBIS", AV_CODEC_ID_VORBIS},
        {"A_WAVPACK4", AV_CODEC_ID_WAVPACK},
        {"D_WEBVTT/SUBTITLES", AV_CODEC_ID_WEBVTT},
        {"D_WEBVTT/CAPTIONS", AV_CODEC_ID_WEBVTT},
        {"D_WEBVTT/DESCRIPTIONS", AV_CODEC_ID_WEBVTT},
        {"D_WEBVTT/METADATA", AV_CODEC_ID_WEBVTT},
        {"S_TEXT/UTF8", AV_CODEC_ID_TEXT},
        {"S_TEXT/ASCII", AV_CODEC_ID_TEXT},
        {"S_TEXT/ASS", AV_CODEC_ID_ASS},
        {"S_TEXT/SSA", AV_CODEC_ID_ASS},
        {"S_ASS", AV_CODEC_ID_ASS},
        {"S_SSA", AV_CODEC_ID_ASS},
        {"S_VOBSUB", AV_CODEC_ID_DVD_SUBTITLE},
        {"S_DVBSUB", AV_CODEC_ID_DVB_SUBTITLE},
        {"S_HDMV/PGS", AV_CODEC_ID_HDMV_PGS_SUBTITLE},
        {"S_HDMV/TEXTST", AV_CODEC_ID_HDMV_TEXT_SUBTITLE},
        {"V_DIRAC", AV_CODEC_ID_DIRAC},
        {"V_FFV1", AV_CODEC_ID_FFV1},
        {"V_MJPEG", AV_CODEC_ID_MJPEG},
        {"V_MPEG1", AV_CODEC_ID_MPEG1VIDEO},
        {"V_MPEG2", AV_CODEC_ID_MPEG2VIDEO},
        {"V_MPEG4/ISO/ASP", AV_CODEC_ID_MPEG4},
        {"V_MPEG4/ISO/AP", AV_CODEC_ID_MPEG4},
        {"V_MPEG4/ISO/SP", AV_CODEC_ID_MPEG4},
        {"V_MPEG4/ISO/AVC", AV_CODEC_ID_H264},
        {"V_MPEGH/ISO/HEVC", AV_CODEC_ID_HEVC},
        {"V_MPEG4/MS/V3", AV_CODEC_ID_MSMPEG4V3},
        {"V_PRORES", AV_CODEC_ID_PRORES},
        {"V_REAL/RV10", AV_CODEC_ID_RV10},
        {"V_REAL/RV20", AV_CODEC_ID_RV20},
        {"V_REAL/RV30", AV_CODEC_ID_RV30},
        {"V_REAL/RV40", AV_CODEC_ID_RV40},
        {"V_SNOW", AV_CODEC_ID_SNOW},
        {"V_THEORA", AV_CODEC_ID_THEORA},
        {"V_UNCOMPRESSED", AV_CODEC_ID_RAWVIDEO},
        {"V_VP8", AV_CODEC_ID_VP8},
        {"V_VP9", AV_CODEC_ID_VP9},
    });
}

void DelMkvCodecMap(std::unique_ptr<MkvCodecMap>& map)
{
    map.reset();
}
