// Tables from four-character codes, file extensions and format names to
// libavcodec codec ids and container names. Ids are AV_CODEC_ID_* values of
// the libavcodec we build against; the H.265, Xvid and DivX entries are the
// codes themselves as 32-bit values.
#ifndef VIDMEND_ZOAVCODECANALYSISAPI_H
#define VIDMEND_ZOAVCODECANALYSISAPI_H

#include <string>

class ZOAVCodecAnalysisApi {
public:
    // 0 for a code not listed; the comparison is case-sensitive.
    static unsigned int codecIDOfFourcc(std::string code);
    // Codes read as big-endian 32-bit values ('avc1'); others come back unchanged.
    static unsigned int M4vCodecIDOfFourcc(unsigned int code);
    static std::string formatOfFourCC(std::string extension, std::string code);
    static std::string formatOfCodecID(unsigned int id, std::string& extension);
    // The container a demuxer's name and the file's brand stand for.
    static std::string formatForFormatName(std::string formatName, std::string brand);
    static void GetVideoFrameRate(double fps, unsigned int& num, unsigned int& den);
};

#endif
