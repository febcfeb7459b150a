// The conversion half of our media layer: a context of settings, conversion
// handles that transcode (or copy streams) on a worker thread of their own,
// merging several inputs into one output, media information with a frame
// grab, reading and writing tags, an audio recogniser and the global set-up.
// Handles are opaque; null means none. Paths and texts are UTF-8 unless a
// function says otherwise. Times are microseconds. Plain C linkage.
//
// The video pipeline is demux -> decode -> crop -> rotate -> scale -> frame
// rate -> image watermark -> encode -> mux; audio is resampled to the
// encoder's format, rate and channels and its volume applied. Settings that
// need filters this build does not have (text watermarks, background audio,
// speed and pitch, colour effects, subtitles) are accepted and stored, and
// can be read back, but do not change the output.
#ifndef VIDMEND_MEDIACONVERT_H
#define VIDMEND_MEDIACONVERT_H

#include <stdint.h>

#include "MediaCore.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MediaConvertContext MediaConvertContext;
typedef struct MediaConverter MediaConverter;
typedef struct MediaMerger MediaMerger;
typedef struct MediaDetail MediaDetail;
typedef struct MediaTagWriter MediaTagWriter;
typedef struct MediaRecognizer MediaRecognizer;
typedef struct MediaAudioFormat MediaAudioFormat;

// A four-character code as a 32-bit value, first character highest.
#define MEDIA_FOURCC(a, b, c, d) \
    (((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) | ((uint32_t)(uint8_t)(c) << 8) | (uint32_t)(uint8_t)(d))

// ---------------------------------------------------------------------------
// Context of settings. One value per key; a key never set reads as unset
// (mediaContextHas 0, value 0, real 0.0, text ""). Keys from
// MEDIA_OVERLAY_FIRST act on the selected overlay, keys from
// MEDIA_BGAUDIO_FIRST on the selected background audio.
enum MediaConvertKey {
    // Output encoding.
    MEDIA_KEY_VIDEO_CODEC = 1,     // an AV_CODEC_ID_* value, MEDIA_FOURCC('H','2','6','5') for
                                   // HEVC, or the AVI tag MKTAG('X','V','I','D') or
                                   // MKTAG('D','X','5','0') for MPEG-4 part 2 under that tag
    MEDIA_KEY_AUDIO_CODEC,         // an AV_CODEC_ID_* value
    MEDIA_KEY_VIDEO_REFS,          // reference frames for H.264/H.265
    MEDIA_KEY_VIDEO_PROFILE,       // FF_PROFILE_* value (66 H.264 baseline, 1 HEVC main)
    MEDIA_KEY_AUDIO_ENCODER,       // text: the encoder's name, before the codec's default
    MEDIA_KEY_VIDEO_WIDTH,         // output picture size; both or neither
    MEDIA_KEY_VIDEO_HEIGHT,
    MEDIA_KEY_FRAME_RATE_NUM,      // output frame rate as a fraction
    MEDIA_KEY_FRAME_RATE_DEN,
    MEDIA_KEY_VIDEO_BIT_RATE,      // bits per second; 0 = the encoder's choice
    MEDIA_KEY_AUDIO_CHANNELS,
    MEDIA_KEY_AUDIO_SAMPLE_RATE,
    MEDIA_KEY_AUDIO_BIT_RATE,      // bits per second
    MEDIA_KEY_VIDEO_GOP,           // frames between key frames; 0 = the encoder's choice
    MEDIA_KEY_AUDIO_QUALITY,       // stored only
    MEDIA_KEY_VOLUME,              // percent, applied to the audio
    MEDIA_KEY_VIDEO_SPEED,         // percent, stored only
    MEDIA_KEY_AUDIO_SPEED,         // percent, stored only
    MEDIA_KEY_PITCH,               // percent, stored only
    MEDIA_KEY_KEEP_METADATA,       // non-zero: the input's tags pass to the output
    // Picture geometry.
    MEDIA_KEY_CROP_WIDTH,          // the picture's size after crop and rotation,
    MEDIA_KEY_CROP_HEIGHT,         // used when no output size is set
    MEDIA_KEY_ROTATION,            // degrees clockwise; quarter turns are applied
    MEDIA_KEY_FLIP,                // 0 none, 1 mirror left-right, 2 upside down
    MEDIA_KEY_PAD,                 // non-zero: keep the aspect ratio and pad
    MEDIA_KEY_PAD_COLOUR,          // 0xAARRGGBB of the padding
    MEDIA_KEY_CROP_X,              // reals: the kept rectangle as fractions
    MEDIA_KEY_CROP_Y,              // of the decoded picture
    MEDIA_KEY_CROP_W,
    MEDIA_KEY_CROP_H,
    // Colour effects, stored only.
    MEDIA_KEY_CONTRAST,
    MEDIA_KEY_BRIGHTNESS,
    MEDIA_KEY_SATURATION,
    MEDIA_KEY_GAMMA,
    MEDIA_KEY_HUE,
    // Subtitles, stored only.
    MEDIA_KEY_SUBTITLE_DELAY,
    MEDIA_KEY_SUBTITLE_ENCODING,
    MEDIA_KEY_SUBTITLE_STREAM,     // index among the input's subtitle streams, -1 none
    MEDIA_KEY_SUBTITLE_BESIDE,     // 1: the subtitle file beside the input
    MEDIA_KEY_SUBTITLE_FILE,       // text: an outside subtitle file
    MEDIA_KEY_SUBTITLE_STYLE,
    MEDIA_KEY_SUBTITLE_SCALE_X,
    MEDIA_KEY_SUBTITLE_SCALE_Y,
    MEDIA_KEY_SUBTITLE_OFFSET,     // microseconds
    MEDIA_KEY_SUBTITLE_FONT,       // text
    MEDIA_KEY_SUBTITLE_FONT_SIZE,
    MEDIA_KEY_SUBTITLE_COLOUR,
    MEDIA_KEY_SUBTITLE_OUTLINE_COLOUR,
    MEDIA_KEY_SUBTITLE_BOLD,
    MEDIA_KEY_SUBTITLE_ITALIC,
    MEDIA_KEY_SUBTITLE_UNDERLINE,
    MEDIA_KEY_SUBTITLE_OUTLINE,
    MEDIA_KEY_SUBTITLE_SHADOW,
    MEDIA_KEY_SUBTITLE_MARGIN_X,   // reals
    MEDIA_KEY_SUBTITLE_MARGIN_Y,

    // The selected overlay slot: slot i holds image watermark i and text
    // watermark i. An image is drawn when the slot has a picture.
    MEDIA_OVERLAY_FIRST = 1000,
    MEDIA_IMAGE_NAME = MEDIA_OVERLAY_FIRST,  // text
    MEDIA_IMAGE_ALPHA,             // 0-255
    MEDIA_IMAGE_SCALE_X,           // reals: percent of the image's own size
    MEDIA_IMAGE_SCALE_Y,
    MEDIA_IMAGE_BOX_WIDTH,
    MEDIA_IMAGE_BOX_HEIGHT,
    MEDIA_IMAGE_ZOOM,
    MEDIA_IMAGE_VISIBLE,           // 0 hides the image
    MEDIA_IMAGE_ALIGNMENT,
    MEDIA_IMAGE_RATIO_X,           // reals
    MEDIA_IMAGE_RATIO_Y,
    MEDIA_IMAGE_START,             // output microseconds; -1 = from the start
    MEDIA_IMAGE_END,               // output microseconds; -1 = to the end
    MEDIA_IMAGE_REPEAT,
    MEDIA_IMAGE_X,                 // reals: the centre's offset from the picture's
    MEDIA_IMAGE_Y,                 // centre, as fractions of the picture
    MEDIA_IMAGE_WIDTH,             // reals: size as fractions of the picture;
    MEDIA_IMAGE_HEIGHT,            // 0 = the image's own size times the scale
    MEDIA_IMAGE_BLEND,
    MEDIA_IMAGE_ANGLE,             // degrees, stored only
    // Text watermarks, stored only.
    MEDIA_TEXT_WORDS = 1500,       // text
    MEDIA_TEXT_ALPHA,
    MEDIA_TEXT_SCALE_X,            // reals
    MEDIA_TEXT_SCALE_Y,
    MEDIA_TEXT_LINES,
    MEDIA_TEXT_FONT,               // text
    MEDIA_TEXT_STYLE,              // text
    MEDIA_TEXT_SIZE,
    MEDIA_TEXT_ALIGNMENT,
    MEDIA_TEXT_COLOUR,
    MEDIA_TEXT_OUTLINE_COLOUR,
    MEDIA_TEXT_BACK_COLOUR,
    MEDIA_TEXT_X,                  // reals
    MEDIA_TEXT_Y,
    MEDIA_TEXT_START,
    MEDIA_TEXT_END,
    MEDIA_TEXT_ANGLE,
    MEDIA_TEXT_OUTLINE_WIDTH,
    MEDIA_TEXT_SHADOW_X,
    MEDIA_TEXT_SHADOW_Y,
    MEDIA_TEXT_SHADOW_BLUR,
    MEDIA_OVERLAY_LAST,

    // The selected background audio, stored only.
    MEDIA_BGAUDIO_FIRST = 2000,
    MEDIA_BGAUDIO_OFFSET = MEDIA_BGAUDIO_FIRST,
    MEDIA_BGAUDIO_VOLUME,
    MEDIA_BGAUDIO_FADE,
    MEDIA_BGAUDIO_LOOP,
    MEDIA_BGAUDIO_SPEED,
    MEDIA_BGAUDIO_TRACK,
    MEDIA_BGAUDIO_MIX,
    MEDIA_BGAUDIO_BALANCE,
    MEDIA_BGAUDIO_START,
    MEDIA_BGAUDIO_LENGTH,
    MEDIA_BGAUDIO_LAST
};

MediaConvertContext* mediaCreateConvertContext(int flags);
void mediaReleaseConvertContext(MediaConvertContext* context);
// 1 when stored; 0 for a null context, an unknown key, or an overlay key
// without a selected overlay (or background audio).
int mediaContextSetValue(MediaConvertContext* context, int key, int64_t value);
int mediaContextSetReal(MediaConvertContext* context, int key, double value);
int mediaContextSetText(MediaConvertContext* context, int key, const char* text);
int mediaContextHas(MediaConvertContext* context, int key);
int64_t mediaContextValue(MediaConvertContext* context, int key);
double mediaContextReal(MediaConvertContext* context, int key);
// Valid until the key is set again or the context is released.
const char* mediaContextText(MediaConvertContext* context, int key);

// Chapters of the output, in the order added.
int mediaContextAddChapter(MediaConvertContext* context, uint64_t start, uint64_t duration, const char* title);
int mediaContextChapterCount(MediaConvertContext* context);
// 1 with the chapter's fields; the title is valid while the context lives.
int mediaContextChapter(MediaConvertContext* context, int index, uint64_t* start, uint64_t* duration,
                        const char** title);

// Overlays and background audios: set the count, select one, then set its
// keys and its source. Selecting outside the count gives 0.
int mediaContextSetOverlayCount(MediaConvertContext* context, int count);
int mediaContextOverlayCount(MediaConvertContext* context);
int mediaContextSelectOverlay(MediaConvertContext* context, int index);
int mediaContextSetAudioCount(MediaConvertContext* context, int count);
int mediaContextAudioCount(MediaConvertContext* context);
int mediaContextSelectAudio(MediaConvertContext* context, int index);
// The selected overlay's picture: an encoded image (PNG, JPEG, BMP...) read
// whole from the stream's start (at most 64 MiB), or 32-bit BGRA pixels
// (premultiplied or not: the alpha byte is taken as coverage) copied. The
// stream may be released after the call.
int mediaContextSetOverlayStream(MediaConvertContext* context, MediaStream* stream);
int mediaContextSetOverlayPixels(MediaConvertContext* context, const uint8_t* bgra, int width, int height,
                                 int lineSize);
// The selected background audio's source (read whole, at most 256 MiB) and
// equaliser; stored only.
int mediaContextSetAudioStream(MediaConvertContext* context, MediaStream* stream);
int mediaContextSetEqualizer(MediaConvertContext* context, uint32_t count, const double* bands, const double* gains);
uint32_t mediaContextEqualizer(MediaConvertContext* context, const double** bands, const double** gains);

// ---------------------------------------------------------------------------
// Conversion handle. A transcoder decodes and encodes through the pipeline;
// a stream copier (mediaCreateStreamCopier) copies the packets as they are,
// cutting at key frames, and ignores the encoding and picture settings.
// The work runs on a thread of the handle's own between mediaStartConverter
// and the end report; the output is complete (trailer written) once
// mediaConverterIsEnded gives 1 with a result of 0.
MediaConverter* mediaCreateConverter(int flags);
MediaConverter* mediaCreateStreamCopier(int flags);
// Opens the input and creates the output (which must not exist) with the
// context's settings, copied here: the context may be released afterwards.
// 1 on success. The second form also carries the input's subtitle streams'
// choice (stored only).
int mediaOpenConverter(MediaConverter* converter, const char* input, const char* output,
                       MediaConvertContext* context);
int mediaOpenConverterWithSubtitles(MediaConverter* converter, const char* input, const char* output,
                                    MediaConvertContext* context);
// The kept range of the input: from start, length long (0 = to the end).
// Before mediaStartConverter.
int mediaSetConverterTrim(MediaConverter* converter, uint64_t start, uint64_t length);
// 1 when the worker started.
int mediaStartConverter(MediaConverter* converter);
// Pausing asks, then waits until the worker has settled: each gives 0 when
// there is nothing running to pause (or resume).
int mediaPauseConverter(MediaConverter* converter);
int mediaWaitConverterPaused(MediaConverter* converter);
int mediaResumeConverter(MediaConverter* converter);
int mediaWaitConverterResumed(MediaConverter* converter);
void mediaCancelConverter(MediaConverter* converter);
// 1 once the worker ran through its input (or failed: see the result).
int mediaConverterIsEnded(MediaConverter* converter);
// 1 once the worker stopped because it was cancelled.
int mediaConverterIsStopped(MediaConverter* converter);
int mediaConverterIsPaused(MediaConverter* converter);
// 0 while running or after success; negative after a failure.
int mediaConverterResult(MediaConverter* converter);
// Progress: output time done and the total expected, in microseconds.
uint64_t mediaConverterDone(MediaConverter* converter);
uint64_t mediaConverterTotal(MediaConverter* converter);
// Cancels a running worker and waits for it; the output is closed.
void mediaFinishConverter(MediaConverter* converter);
void mediaReleaseConverter(MediaConverter* converter);

// ---------------------------------------------------------------------------
// Merging: inputs are transcoded one after the other into one output with
// the settings the output was opened with. Inputs may be added while the
// merger runs; it is "finished" whenever every input added so far is done.
// The output is complete after mediaFinishMerger.
MediaMerger* mediaCreateMerger(int flags);
// format: a container short name or file extension ("mp4"); empty: by path.
int mediaOpenMergerOutput(MediaMerger* merger, const char* output, const char* format,
                          MediaConvertContext* context);
int mediaStartMerger(MediaMerger* merger);
int mediaAddMergerInput(MediaMerger* merger, const char* input, uint64_t start, uint64_t length,
                        MediaConvertContext* context);
int mediaAddMergerInputWithSubtitles(MediaMerger* merger, const char* input, uint64_t start, uint64_t length,
                                     MediaConvertContext* context);
int mediaMergerIsFinished(MediaMerger* merger);
int mediaMergerIsStopped(MediaMerger* merger);
int mediaMergerIsPaused(MediaMerger* merger);
int mediaMergerResult(MediaMerger* merger);
uint64_t mediaMergerDone(MediaMerger* merger);
uint64_t mediaMergerTotal(MediaMerger* merger);
int mediaPauseMerger(MediaMerger* merger);
int mediaWaitMergerPaused(MediaMerger* merger);
int mediaResumeMerger(MediaMerger* merger);
int mediaWaitMergerResumed(MediaMerger* merger);
// Drops the input being merged and those waiting.
void mediaCancelMerger(MediaMerger* merger);
// Waits for the inputs still queued (unless cancelled) and completes the output.
void mediaFinishMerger(MediaMerger* merger);
void mediaReleaseMerger(MediaMerger* merger);

// ---------------------------------------------------------------------------
// Media information: streams, chapters, tags and a frame grab.
MediaDetail* mediaCreateDetail(int flags);
int mediaOpenDetail(MediaDetail* detail, const char* path);
// The subtitle choice is stored only.
int mediaOpenDetailWithSubtitle(MediaDetail* detail, const char* path, int subtitle);
int mediaOpenDetailStream(MediaDetail* detail, MediaStream* stream);
// The bytes are copied.
int mediaOpenDetailMemory(MediaDetail* detail, const uint8_t* data, uint32_t size);
// The demuxer's short name ("mov,mp4,m4a,3gp,3g2,mj2", "matroska,webm").
const char* mediaDetailContainer(MediaDetail* detail);
int mediaDetailHasVideo(MediaDetail* detail);
int mediaDetailHasAudio(MediaDetail* detail);
int mediaDetailWidth(MediaDetail* detail);
int mediaDetailHeight(MediaDetail* detail);
uint64_t mediaDetailDuration(MediaDetail* detail);
// 1 when the container can seek by time.
int mediaDetailSeekable(MediaDetail* detail);
// Chooses the n-th picture stream (cover pictures count) for the grab.
int mediaDetailSelectImage(MediaDetail* detail, int index);
// The first frame at or after time, scaled to width x height, as 32-bit
// BGRA rows of lineSize bytes into pixels. 1 on success.
int mediaDetailGrabFrame(MediaDetail* detail, uint64_t time, int width, int height, uint8_t* pixels, int lineSize);
int mediaDetailChapterCount(MediaDetail* detail);
uint64_t mediaDetailChapterStart(MediaDetail* detail, int index);
uint64_t mediaDetailChapterDuration(MediaDetail* detail, int index);
// Null when the chapter has no title.
const char* mediaDetailChapterTitle(MediaDetail* detail, int index);
// A tag of the container, or of its first audio stream, by key ("title");
// the key "cover_image" gives the attached picture's encoded bytes. Null
// when absent; valid while the detail lives.
const uint8_t* mediaDetailMetadata(MediaDetail* detail, const char* key, uint32_t* size);
void mediaReleaseDetail(MediaDetail* detail);

// ---------------------------------------------------------------------------
// Tag writing: the file is copied stream by stream with the new tags into a
// temporary file beside it (or in the global temporary folder), which then
// replaces it. Texts are UTF-32 in host order with a byte length; an empty
// text leaves the entry as the file has it.
enum MediaTagEntry {
    MEDIA_TAG_TITLE = 0,
    MEDIA_TAG_ARTIST = 1,
    MEDIA_TAG_ALBUM = 2,
    MEDIA_TAG_GENRE = 3,
    MEDIA_TAG_YEAR = 4,
    MEDIA_TAG_TRACK = 5,
    MEDIA_TAG_COMMENT = 6,
    MEDIA_TAG_LYRICS = 7,
    MEDIA_TAG_COPYRIGHT = 8,
    MEDIA_TAG_COVER = 9,
    MEDIA_TAG_ALBUM_ARTIST = 10,
    MEDIA_TAG_COMPOSER = 11,
    MEDIA_TAG_GROUPING = 12,
    MEDIA_TAG_DISC = 13,
    MEDIA_TAG_COUNT
};
MediaTagWriter* mediaCreateTagWriter(int flags);
// path: UTF-32, zero-terminated.
int mediaOpenTagWriter(MediaTagWriter* writer, const uint32_t* path);
int mediaSetTagText(MediaTagWriter* writer, int entry, const uint32_t* text, uint32_t byteLength);
// The cover: encoded image bytes (copied), or a UTF-32 path to an image file.
int mediaSetTagCover(MediaTagWriter* writer, const uint8_t* data, uint32_t size);
int mediaSetTagCoverPath(MediaTagWriter* writer, const uint32_t* path, uint32_t byteLength);
// 1 when the file now carries the tags; on failure it is left as it was.
int mediaFinishTagWriter(MediaTagWriter* writer);
void mediaReleaseTagWriter(MediaTagWriter* writer);

// ---------------------------------------------------------------------------
// Audio recogniser. Given a file, it reads the tags the file carries. Given
// raw audio, it buffers the frames; this build has no catalogue to match
// them against, so it completes when stopped, with no tags found.
MediaRecognizer* mediaCreateRecognizer(int flags);
// kind 2: raw audio described by the setters below.
MediaAudioFormat* mediaCreateAudioFormat(int kind);
// From an outside description: an AVCodecParameters of an audio stream.
MediaAudioFormat* mediaWrapAudioFormat(const void* object);
int mediaAudioFormatSetCode(MediaAudioFormat* format, uint32_t fourcc);
int mediaAudioFormatSetChannels(MediaAudioFormat* format, int channels);
int mediaAudioFormatSetSampleRate(MediaAudioFormat* format, int rate);
int mediaAudioFormatSetSampleFormat(MediaAudioFormat* format, int index);
int mediaAudioFormatSetBitDepth(MediaAudioFormat* format, int bits);
int mediaAudioFormatSetExtra(MediaAudioFormat* format, uint32_t value);
int mediaAudioFormatChannels(MediaAudioFormat* format);
int mediaAudioFormatSampleRate(MediaAudioFormat* format);
// Bytes buffered so far.
int64_t mediaAudioFormatBufferSize(MediaAudioFormat* format);
// Appends an AVFrame's samples (all planes); 1 when appended.
int mediaAudioFormatAppend(MediaAudioFormat* format, const void* frame);
void mediaReleaseAudioFormat(MediaAudioFormat* format);

// 1 when started with the format (which must outlive the recognition).
int mediaStartRecognizer(MediaRecognizer* recognizer, MediaAudioFormat* format);
// 1 when the file was opened as media.
int mediaSetRecognizerPath(MediaRecognizer* recognizer, const char* path);
int mediaRunRecognizer(MediaRecognizer* recognizer);
int mediaRecognizerReady(MediaRecognizer* recognizer);
int mediaRecognizerCompleted(MediaRecognizer* recognizer);
void mediaStopRecognizer(MediaRecognizer* recognizer);
// Forgets the format, the path and what was found.
void mediaResetRecognizer(MediaRecognizer* recognizer);
// Keys as mediaDetailMetadata; null when not found.
const uint8_t* mediaRecognizerMetadata(MediaRecognizer* recognizer, const char* key, uint32_t* size);
void mediaReleaseRecognizer(MediaRecognizer* recognizer);

// ---------------------------------------------------------------------------
// Global set-up. quiet 1 silences FFmpeg's log; threads 1 lets codecs use
// several threads. The temporary folder is where tag writing keeps its
// copies (default: beside the file).
int mediaGlobalSetup(int quiet, int threads);
int mediaGlobalSetTempFolder(const char* path);
// The application's services: a log sink, and an image decoder that the
// overlays use before FFmpeg's own (return 1 with malloc'ed BGRA pixels of
// width * 4 bytes a row, freed by the layer with free()).
typedef void (*MediaLogFunction)(int level, const char* line);
typedef int (*MediaDecodeImageFunction)(const uint8_t* data, uint32_t size, int* width, int* height,
                                        uint8_t** pixels);
typedef struct MediaGlobalTable {
    MediaLogFunction log;
    MediaDecodeImageFunction decodeImage;
} MediaGlobalTable;
// count: the table's entries (2); fewer leave the rest unset. 1 on success.
int mediaGlobalRegister(const MediaGlobalTable* table, int count);

#ifdef __cplusplus
}
#endif

#endif
