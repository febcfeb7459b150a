#include "ZOAVCodecAnalysisApi.h"

#include <algorithm>
#include <cstdint>
#include <utility>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

constexpr unsigned int Code(char a, char b, char c, char d)
{
    return (unsigned(uint8_t(a)) << 24) | (unsigned(uint8_t(b)) << 16) | (unsigned(uint8_t(c)) << 8) | unsigned(uint8_t(d));
}

// Codes that stand for themselves.
constexpr unsigned int kH265 = 0x48323635u;  // 'H','2','6','5'
constexpr unsigned int kXvid = 0x44495658u;  // the AVI tag XVID
constexpr unsigned int kDivx = 0x30355844u;  // the AVI tag DX50

const std::pair<const char*, unsigned int> kFourccCodecs[] = {
    {"AC3", AV_CODEC_ID_AC3},        {"in24", AV_CODEC_ID_PCM_S24BE},   {"mp43", AV_CODEC_ID_MSMPEG4V3},
    {"wma3", AV_CODEC_ID_WMAPRO},    {"wma2", AV_CODEC_ID_WMAV2},       {"wma1", AV_CODEC_ID_WMAV1},
    {"MP3", AV_CODEC_ID_MP3},        {"VP8", AV_CODEC_ID_VP8},          {"VP9", AV_CODEC_ID_VP9},
    {"AAC", AV_CODEC_ID_AAC},        {"MJPG", AV_CODEC_ID_MJPEG},       {"MP4V", AV_CODEC_ID_MPEG4},
    {"OGG", AV_CODEC_ID_VORBIS},     {"WMV1", AV_CODEC_ID_WMV1},        {"WMV2", AV_CODEC_ID_WMV2},
    {"VBIS", AV_CODEC_ID_VORBIS},    {"mpg1", AV_CODEC_ID_MPEG1VIDEO},  {"HMP2", AV_CODEC_ID_MPEG2VIDEO},
    {"mp1v", AV_CODEC_ID_MPEG1VIDEO}, {"H263", AV_CODEC_ID_H263},       {"H264", AV_CODEC_ID_H264},
    {"H265", kH265},                 {"Xvid", kXvid},                   {"DIVX", kDivx},
    {"MP2A", AV_CODEC_ID_MP2},       {"PCM", AV_CODEC_ID_PCM_S16LE},    {"caf", AV_CODEC_ID_ADPCM_IMA_QT},
    {"DV60", AV_CODEC_ID_DVVIDEO},   {"flac", AV_CODEC_ID_FLAC},        {"AMRN", AV_CODEC_ID_AMR_NB},
    {"flv1", AV_CODEC_ID_FLV1},      {"fmp3", AV_CODEC_ID_ADPCM_SWF},   {"DV50", AV_CODEC_ID_DVVIDEO},
    {"WMV3", AV_CODEC_ID_WMV3},      {"vc-1", AV_CODEC_ID_VC1},         {"pcmb", AV_CODEC_ID_PCM_S16BE},
    {"alac", AV_CODEC_ID_ALAC},      {"OGV", AV_CODEC_ID_THEORA},
};

const std::pair<unsigned int, unsigned int> kM4vCodecs[] = {
    {Code('m', 'p', '4', 'v'), AV_CODEC_ID_MPEG4}, {Code('a', 'a', 'c', ' '), AV_CODEC_ID_AAC},
    {Code('a', 'c', '-', '3'), AV_CODEC_ID_AC3},   {Code('a', 'l', 'a', 'w'), AV_CODEC_ID_PCM_ALAW},
    {Code('a', 'v', 'c', '1'), AV_CODEC_ID_H264},  {Code('d', 'r', 'm', 'i'), AV_CODEC_ID_H264},
    {Code('e', 'c', '-', '3'), AV_CODEC_ID_EAC3},  {Code('t', 'x', '3', 'g'), AV_CODEC_ID_MOV_TEXT},
    {Code('u', 'l', 'a', 'w'), AV_CODEC_ID_PCM_MULAW},
};

const std::pair<const char*, const char*> kExtensionFormats[] = {
    {"m4v", "mp4"},  {"m4a", "mp4"},      {"m4b", "mp4"},      {"m4r", "mp4"}, {"wmv", "asf"},
    {"wma", "asf"},  {"mkv", "matroska"}, {"mka", "matroska"}, {"ts", "mpegts"}, {"trp", "mpegts"},
    {"DivX", "avi"}, {"ogv", "ogg"},      {"WebM", "webm"},    {"aac", "adts"}, {"alac", "mov"},
};

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

unsigned int ZOAVCodecAnalysisApi::codecIDOfFourcc(std::string code)
{
    for (const auto& entry : kFourccCodecs) {
        if (code == entry.first)
            return entry.second;
    }
    return 0;
}

unsigned int ZOAVCodecAnalysisApi::M4vCodecIDOfFourcc(unsigned int code)
{
    for (const auto& entry : kM4vCodecs) {
        if (code == entry.first)
            return entry.second;
    }
    // 'c608' among them: closed captions keep their code.
    return code;
}

std::string ZOAVCodecAnalysisApi::formatOfFourCC(std::string extension, std::string code)
{
    if (extension == "mpg")
        return code == "mp1v" ? "mpeg" : "vob";
    for (const auto& entry : kExtensionFormats) {
        if (extension == entry.first)
            return entry.second;
    }
    return extension;
}

std::string ZOAVCodecAnalysisApi::formatOfCodecID(unsigned int id, std::string& extension)
{
    switch (id) {
    case AV_CODEC_ID_AAC:
        extension = "m4a";
        return "mp4";
    case AV_CODEC_ID_SIPR:
        extension = "asf";
        return "asf";
    default:
        extension = "mp3";
        return "mp3";
    }
}

std::string ZOAVCodecAnalysisApi::formatForFormatName(std::string formatName, std::string brand)
{
    if (formatName == "mov,mp4,m4a,3gp,3g2,mj2") {
        if (brand == "qt  ")
            return "mov";
        if (brand == "f4v ")
            return "f4v";
        if (StartsWith(brand, "3gp"))
            return "3gp";
        if (StartsWith(brand, "3g2"))
            return "3g2";
        return "mp4";
    }
    if (formatName == "matroska,webm") {
        if (brand == "matroska")
            return "matroska";
        if (brand == "webm")
            return "webm";
        return "mp4";
    }
    return formatName;
}

void ZOAVCodecAnalysisApi::GetVideoFrameRate(double fps, unsigned int& num, unsigned int& den)
{
    if (fps > 23.5 && fps < 23.99) {
        num = 24000;
        den = 1001;
    } else if (fps > 29.5 && fps < 29.99) {
        num = 30000;
        den = 1001;
    } else if (fps > 59.5 && fps < 59.99) {
        num = 60000;
        den = 1001;
    } else {
        const double rounded = fps + 0.01;
        num = rounded > 0 ? static_cast<unsigned int>(std::min(rounded, double(UINT32_MAX))) : 0;
        den = 1;
    }
}
