// Tells key frames from predicted ones by running libavcodec's bitstream
// parser for the codec over one whole frame at a time. Nothing is decoded.
// Index rebuilds of any container create one per video stream.
#ifndef MENDCORE_DATAPARSER_H
#define MENDCORE_DATAPARSER_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

struct AVCodecContext;
struct AVCodecParserContext;
struct AvCodecLib;

class CDataParser {
public:
    // ok tells whether frames of this codec can be judged: libavcodec has a
    // parser for it, or the codec codes every frame on its own. A codec
    // other than AV_CODEC_ID_NONE loads libavcodec, if it is not yet.
    CDataParser(AVCodecID id, bool& ok);
    ~CDataParser();
    // True when the codec could have been judged but libavcodec could not
    // be loaded: the caller's repair fails with MEND_ERR_NO_CODEC_LIBRARY
    // rather than going on without key frames.
    bool LibraryMissing() const { return m_libraryMissing; }
    CDataParser(const CDataParser&) = delete;
    CDataParser& operator=(const CDataParser&) = delete;

    // Runs the parser once over a whole frame; returns the bytes consumed.
    int Parser(const unsigned char* buf, int size);
    // Parser over a frame already followed by zeroed padding.
    int ParsePadded(const unsigned char* buf, int size);
    // The key-frame verdict of one run of parse over a frame of size bytes.
    template <typename Parse>
    int KeyFrameOf(Parse parse, int size, int& key);
    // key = 1 for a frame that decodes on its own, else 0. Returns the bytes
    // the parser consumed (size for an intra-only codec).
    int CheckIsKeyFrame(const unsigned char* buf, int size, int& key);
    // The same for a frame in memory of the caller's followed by room
    // writable bytes: with room for the padding the parser reads the frame
    // where it is (the padding is zeroed for the call and put back after),
    // so a large frame is not copied first.
    int CheckIsKeyFrameInPlace(unsigned char* buf, int size, size_t room, int& key);

private:
    const AvCodecLib* m_av = nullptr;
    bool m_libraryMissing = false;
    AVCodecContext* m_context = nullptr;
    AVCodecParserContext* m_parser = nullptr;
    // MJPEG and its kind: the parser reports no picture type, yet every
    // frame is a key frame.
    bool m_intraOnly = false;
    // Parsers may read a little past the frame; they get a padded copy.
    std::vector<uint8_t> m_padded;
};

#endif
