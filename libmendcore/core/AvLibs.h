// FFmpeg's libraries, loaded when a repair first needs them. Most repairs
// need none of FFmpeg: only a key-frame parse, the FLAC frame check and a
// FourCC missing from our own table call into it. Linking it would make
// every program that loads the library pay for some 130 shared objects
// at start-up, so the library opens libavutil, libavcodec and libavformat
// itself, by the sonames of the headers it was built against, and calls
// them through the tables below. The headers stay FFmpeg's (types, enums,
// AV_CODEC_ID_*); only the link is ours.
#ifndef MENDCORE_AVLIBS_H
#define MENDCORE_AVLIBS_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// The functions of libavutil and libavcodec the library calls.
struct AvCodecLib {
    decltype(&::av_mallocz) av_mallocz;
    decltype(&::av_frame_alloc) av_frame_alloc;
    decltype(&::av_frame_free) av_frame_free;
    decltype(&::av_frame_unref) av_frame_unref;
    decltype(&::avcodec_descriptor_get) avcodec_descriptor_get;
    decltype(&::avcodec_find_decoder) avcodec_find_decoder;
    decltype(&::avcodec_alloc_context3) avcodec_alloc_context3;
    decltype(&::avcodec_free_context) avcodec_free_context;
    decltype(&::avcodec_open2) avcodec_open2;
    decltype(&::avcodec_flush_buffers) avcodec_flush_buffers;
    decltype(&::avcodec_send_packet) avcodec_send_packet;
    decltype(&::avcodec_receive_frame) avcodec_receive_frame;
    decltype(&::av_packet_alloc) av_packet_alloc;
    decltype(&::av_packet_free) av_packet_free;
    decltype(&::av_parser_init) av_parser_init;
    decltype(&::av_parser_parse2) av_parser_parse2;
    decltype(&::av_parser_close) av_parser_close;
};

// The functions of libavformat the library calls.
struct AvFormatLib {
    decltype(&::avformat_get_riff_video_tags) avformat_get_riff_video_tags;
    decltype(&::av_codec_get_id) av_codec_get_id;
};

// Each opens its libraries on the first call from any thread (later calls
// wait for it and then return at once) and keeps them for the life of the
// process, as FFmpeg's libraries are not made to be unloaded. Null when a
// library or one of the functions is missing; a repair that needs them
// then fails with MEND_ERR_NO_CODEC_LIBRARY.
const AvCodecLib* AvCodec();
const AvFormatLib* AvFormat();

#endif
