// The clips the conversion tests work on, made once per test process by
// Debian's ffmpeg in a scratch folder, and a look at an output through
// libavformat: codec, picture size, frame rate, duration, chapters, tags.
#pragma once

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/Fixtures.h"

namespace converttest {

inline bool RunFfmpeg(const std::string& args)
{
    const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y " + args;
    return std::system(command.c_str()) == 0;
}

inline std::string Quoted(const std::string& path)
{
    return "'" + path + "'";
}

// Lazily made clips; a clip that cannot be made records a failure and
// comes back empty.
class Clips {
public:
    static Clips& Get()
    {
        static Clips clips;
        return clips;
    }

    std::string Path(const std::string& name) const { return dir_.Path(name); }

    // 2 s of 320x240 testsrc at 25 fps (a key frame every 5) with a sine
    // tone, chapters "Intro" 0-1 s and an untitled one 1-2 s.
    const std::string& Clip()
    {
        return Make(clip_, "clip.mp4", [this](const std::string& out) {
            const std::string meta = Path("clip-meta.txt");
            std::ofstream(meta) << ";FFMETADATA1\ntitle=Source clip\n"
                                   "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=Intro\n"
                                   "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\n";
            return RunFfmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=2 "
                             "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -i " +
                             Quoted(meta) +
                             " -map 0:v -map 1:a -map_metadata 2 -map_chapters 2 -c:v libx264 -preset ultrafast -g 5 "
                             "-pix_fmt yuv420p -c:a aac -shortest " +
                             Quoted(out));
        });
    }

    // 1 s of sound in Matroska whose chapters run past it: 0-10 s, 10-30 s
    // "Middle", 30-40 s untitled.
    const std::string& ChapterAudio()
    {
        return Make(chapters_, "chapters.mka", [this](const std::string& out) {
            const std::string meta = Path("chapters-meta.txt");
            std::ofstream(meta) << ";FFMETADATA1\n"
                                   "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=10000\ntitle=Opening\n"
                                   "[CHAPTER]\nTIMEBASE=1/1000\nSTART=10000\nEND=30000\ntitle=Middle\n"
                                   "[CHAPTER]\nTIMEBASE=1/1000\nSTART=30000\nEND=40000\n";
            return RunFfmpeg("-f lavfi -i sine=duration=1 -i " + Quoted(meta) +
                             " -map 0 -map_metadata 1 -map_chapters 1 -c:a flac " + Quoted(out));
        });
    }

    // A 32x32 red PNG.
    const std::string& Cover()
    {
        return Make(cover_, "cover.png", [](const std::string& out) {
            return RunFfmpeg("-f lavfi -i color=c=red:s=32x32 -frames:v 1 " + Quoted(out));
        });
    }

    // 1 s of MP3 with ID3 tags and the red cover picture.
    const std::string& TaggedAudio()
    {
        const std::string cover = Cover();
        return Make(tagged_, "tagged.mp3", [cover](const std::string& out) {
            return !cover.empty() &&
                   RunFfmpeg("-f lavfi -i sine=duration=1 -i " + Quoted(cover) +
                             " -map 0 -map 1 -c:a libmp3lame -c:v png -disposition:v attached_pic "
                             "-id3v2_version 3 -metadata title='Night Train' -metadata artist='The Testers' "
                             "-metadata album='Fixtures' -metadata track=3 -metadata date=2021 " +
                             Quoted(out));
        });
    }

    // Bytes that are no media at all.
    const std::string& Garbage()
    {
        return Make(garbage_, "garbage.mp4", [](const std::string& out) {
            std::ofstream file(out, std::ios::binary);
            for (int i = 0; i < 4096; ++i)
                file.put(char((i * 131 + 7) & 0xFF));
            return bool(file);
        });
    }

private:
    Clips() : dir_("convert-clips") {}

    template <typename Maker>
    const std::string& Make(std::string& slot, const std::string& name, Maker make)
    {
        if (slot.empty()) {
            const std::string path = Path(name);
            if (make(path))
                slot = path;
            else
                ADD_FAILURE() << "could not make " << path << " with ffmpeg";
        }
        return slot;
    }

    mendtest::ScratchDir dir_;
    std::string clip_, chapters_, cover_, tagged_, garbage_;
};

struct ProbedChapter {
    double start = 0;
    double end = 0;
    std::string title;
};

struct Probed {
    bool opened = false;
    std::string videoCodec;
    std::string audioCodec;
    int width = 0;
    int height = 0;
    double fps = 0;
    double duration = 0;
    std::vector<ProbedChapter> chapters;
    std::map<std::string, std::string> tags;
    bool cover = false;
};

inline Probed Probe(const std::string& path)
{
    Probed p;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return p;
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(&fmt, avformat_close_input);
    if (avformat_find_stream_info(fmt, nullptr) < 0)
        return p;
    p.opened = true;
    p.duration = fmt->duration > 0 ? fmt->duration / double(AV_TIME_BASE) : 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            p.cover = true;
        } else if (par->codec_type == AVMEDIA_TYPE_VIDEO && p.videoCodec.empty()) {
            p.videoCodec = avcodec_get_name(par->codec_id);
            p.width = par->width;
            p.height = par->height;
            p.fps = st->avg_frame_rate.den ? av_q2d(st->avg_frame_rate) : 0;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && p.audioCodec.empty()) {
            p.audioCodec = avcodec_get_name(par->codec_id);
        }
    }
    for (unsigned i = 0; i < fmt->nb_chapters; ++i) {
        const AVChapter* c = fmt->chapters[i];
        const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
        p.chapters.push_back({c->start * av_q2d(c->time_base), c->end * av_q2d(c->time_base), title ? title->value : ""});
    }
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(fmt->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        p.tags[e->key] = e->value;
    return p;
}

}  // namespace converttest
