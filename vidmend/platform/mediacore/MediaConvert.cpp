// Conversion and merge handles: each opens what it can at once, so a bad
// input or an unusable output is refused before a thread starts, then runs
// its work on a worker thread that the caller polls.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <unistd.h>

#include "ConvertSettings.h"
#include "MediaConvert.h"
#include "MediaPipeline.h"
#include "MediaWorker.h"

using mediacore::ConvertSettings;
using mediacore::CopyOptions;
using mediacore::InputMedia;
using mediacore::OutputMedia;
using mediacore::TrimRange;
using mediacore::Worker;

struct MediaConverter {
    bool copy = false;
    bool opened = false;
    std::string input;
    std::string output;
    ConvertSettings settings;
    TrimRange range;
    std::unique_ptr<InputMedia> in;
    std::unique_ptr<OutputMedia> out;
    Worker worker;
};

namespace {

MediaConverter* CreateConverter(bool copy)
{
    auto* converter = new (std::nothrow) MediaConverter;
    if (converter)
        converter->copy = copy;
    return converter;
}

int OpenConverter(MediaConverter* c, const char* input, const char* output, MediaConvertContext* context)
{
    if (!c || c->opened || c->worker.Started() || !input || !output || !*output)
        return 0;
    c->input = input;
    c->output = output;
    if (context)
        c->settings = context->settings;
    if (c->copy) {
        // The copier opens when it runs; here the input must at least be media.
        InputMedia probe;
        if (!probe.Open(c->input, nullptr) || !mediacore::CreateNewFile(c->output))
            return 0;
        c->opened = true;
        return 1;
    }
    c->in = std::make_unique<InputMedia>();
    c->out = std::make_unique<OutputMedia>();
    if (!c->in->Open(c->input, &c->worker) || !c->out->Open(c->output, std::string(), c->settings, *c->in)) {
        c->in.reset();
        c->out.reset();
        return 0;
    }
    c->opened = true;
    return 1;
}

int RunTranscode(MediaConverter* c, Worker& w)
{
    w.SetTotal(c->in->Expected(c->range));
    const int result = mediacore::Transcoder(*c->in, *c->out, c->range, w).Run();
    if (result < 0) {
        c->out->Discard();
        return result;
    }
    // A stopped conversion still leaves a playable file of what was done.
    if (!c->out->Close()) {
        c->out->Discard();
        return AVERROR(EIO);
    }
    return result;
}

int RunCopy(MediaConverter* c, Worker& w)
{
    CopyOptions options;
    options.range = c->range;
    options.keepTags = c->settings.values.Int(MEDIA_KEY_KEEP_METADATA, 1) != 0;
    options.chapters = c->settings.chapters;
    options.keepChapters = options.chapters.empty();
    const int result = mediacore::CopyStreams(c->input, c->output, options, w);
    if (result < 0)
        unlink(c->output.c_str());
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// Merging

namespace {

struct MergeInput {
    std::string path;
    TrimRange range;
    uint64_t expected = 0;
};

}  // namespace

struct MediaMerger {
    bool opened = false;
    std::string output;
    std::string format;
    ConvertSettings settings;
    OutputMedia out;
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<MergeInput> queue;
    bool busy = false;       // an input is being merged
    bool closing = false;    // no more inputs: finish the queue and end
    bool failed = false;
    uint64_t queuedTotal = 0;
    Worker worker;
};

namespace {

int MergeOne(MediaMerger* m, const MergeInput& item, Worker& w)
{
    InputMedia in;
    if (!in.Open(item.path, &w))
        return w.Cancelled() ? mediacore::kRunCancelled : AVERROR_INVALIDDATA;
    if (!m->out.IsOpen()) {
        // The output takes its shape from the first input.
        if (!m->out.Open(m->output, m->format, m->settings, in))
            return AVERROR(EIO);
    } else {
        const int aligned = m->out.AlignStreams();
        if (aligned < 0)
            return aligned;
    }
    return mediacore::Transcoder(in, m->out, item.range, w).Run();
}

int MergeJob(MediaMerger* m, Worker& w)
{
    uint64_t base = 0;
    for (;;) {
        if (!w.Checkpoint())
            return mediacore::kRunCancelled;
        MergeInput item;
        {
            std::unique_lock<std::mutex> hold(m->lock);
            if (m->queue.empty()) {
                if (m->closing)
                    return 0;
                // Wakes now and then so a pause or cancel is noticed.
                m->arrived.wait_for(hold, std::chrono::milliseconds(50));
                continue;
            }
            item = m->queue.front();
            m->queue.pop_front();
            m->busy = true;
        }
        w.SetBase(base);
        const int result = MergeOne(m, item, w);
        base += item.expected;
        {
            std::lock_guard<std::mutex> hold(m->lock);
            m->busy = false;
            if (result < 0) {
                m->failed = true;
                m->queue.clear();
            }
        }
        if (result != 0)
            return result;
        w.SetBase(base);
    }
}

int AddMergerInput(MediaMerger* m, const char* input, uint64_t start, uint64_t length)
{
    if (!m || !m->opened || !input)
        return 0;
    // Probed here, so a bad input is refused to the caller rather than
    // failing the merge later.
    InputMedia probe;
    if (!probe.Open(input, nullptr))
        return 0;
    MergeInput item{input, TrimRange{start, length}, 0};
    item.expected = probe.Expected(item.range);
    {
        std::lock_guard<std::mutex> hold(m->lock);
        if (m->closing || m->failed || m->worker.Cancelled())
            return 0;
        m->queue.push_back(item);
        m->queuedTotal += item.expected;
        m->worker.SetTotal(m->queuedTotal);
    }
    m->arrived.notify_all();
    return 1;
}

}  // namespace

extern "C" {

MediaConverter* mediaCreateConverter(int)
{
    return CreateConverter(false);
}

MediaConverter* mediaCreateStreamCopier(int)
{
    return CreateConverter(true);
}

int mediaOpenConverter(MediaConverter* converter, const char* input, const char* output, MediaConvertContext* context)
{
    return OpenConverter(converter, input, output, context);
}

int mediaOpenConverterWithSubtitles(MediaConverter* converter, const char* input, const char* output,
                                    MediaConvertContext* context)
{
    return OpenConverter(converter, input, output, context);
}

int mediaSetConverterTrim(MediaConverter* converter, uint64_t start, uint64_t length)
{
    if (!converter || converter->worker.Started())
        return 0;
    converter->range = TrimRange{start, length};
    return 1;
}

int mediaStartConverter(MediaConverter* converter)
{
    if (!converter || !converter->opened || converter->worker.Started())
        return 0;
    return converter->worker.Start([converter](Worker& w) {
        return converter->copy ? RunCopy(converter, w) : RunTranscode(converter, w);
    }) ? 1 : 0;
}

int mediaPauseConverter(MediaConverter* converter)
{
    return converter && converter->worker.RequestPause() ? 1 : 0;
}

int mediaWaitConverterPaused(MediaConverter* converter)
{
    return converter && converter->worker.WaitPaused() ? 1 : 0;
}

int mediaResumeConverter(MediaConverter* converter)
{
    return converter && converter->worker.RequestResume() ? 1 : 0;
}

int mediaWaitConverterResumed(MediaConverter* converter)
{
    return converter && converter->worker.WaitResumed() ? 1 : 0;
}

void mediaCancelConverter(MediaConverter* converter)
{
    if (converter)
        converter->worker.Cancel();
}

int mediaConverterIsEnded(MediaConverter* converter)
{
    return converter && converter->worker.Ended() ? 1 : 0;
}

int mediaConverterIsStopped(MediaConverter* converter)
{
    return converter && converter->worker.Stopped() ? 1 : 0;
}

int mediaConverterIsPaused(MediaConverter* converter)
{
    return converter && converter->worker.Paused() ? 1 : 0;
}

int mediaConverterResult(MediaConverter* converter)
{
    return converter ? converter->worker.Result() : -1;
}

uint64_t mediaConverterDone(MediaConverter* converter)
{
    return converter ? converter->worker.Done() : 0;
}

uint64_t mediaConverterTotal(MediaConverter* converter)
{
    return converter ? converter->worker.Total() : 0;
}

void mediaFinishConverter(MediaConverter* converter)
{
    if (!converter)
        return;
    if (converter->worker.Running())
        converter->worker.Cancel();
    converter->worker.Join();
    if (!converter->worker.Started() && converter->opened) {
        // Opened but never started: nothing was converted, nothing is kept.
        if (converter->out)
            converter->out->Discard();
        else if (converter->copy)
            unlink(converter->output.c_str());
        converter->opened = false;
    }
}

void mediaReleaseConverter(MediaConverter* converter)
{
    if (!converter)
        return;
    mediaFinishConverter(converter);
    delete converter;
}

MediaMerger* mediaCreateMerger(int)
{
    return new (std::nothrow) MediaMerger;
}

int mediaOpenMergerOutput(MediaMerger* merger, const char* output, const char* format, MediaConvertContext* context)
{
    if (!merger || merger->opened || !output || !*output)
        return 0;
    const std::string name = format ? format : "";
    const AVOutputFormat* of = name.empty() ? av_guess_format(nullptr, output, nullptr)
                                            : av_guess_format(name.c_str(), nullptr, nullptr);
    if (!of && !name.empty())
        of = av_guess_format(nullptr, ("output." + name).c_str(), nullptr);
    // The file itself is made with the first input; it must not exist now.
    if (!of || access(output, F_OK) == 0)
        return 0;
    merger->output = output;
    merger->format = of->name;
    if (context)
        merger->settings = context->settings;
    merger->opened = true;
    return 1;
}

int mediaStartMerger(MediaMerger* merger)
{
    if (!merger || !merger->opened || merger->worker.Started())
        return 0;
    return merger->worker.Start([merger](Worker& w) { return MergeJob(merger, w); }) ? 1 : 0;
}

int mediaAddMergerInput(MediaMerger* merger, const char* input, uint64_t start, uint64_t length,
                        MediaConvertContext*)
{
    return AddMergerInput(merger, input, start, length);
}

int mediaAddMergerInputWithSubtitles(MediaMerger* merger, const char* input, uint64_t start, uint64_t length,
                                     MediaConvertContext*)
{
    return AddMergerInput(merger, input, start, length);
}

int mediaMergerIsFinished(MediaMerger* merger)
{
    if (!merger)
        return 0;
    std::lock_guard<std::mutex> hold(merger->lock);
    if (merger->worker.Ended())
        return 1;
    return merger->worker.Started() && !merger->worker.Stopped() && merger->queue.empty() && !merger->busy ? 1 : 0;
}

int mediaMergerIsStopped(MediaMerger* merger)
{
    return merger && merger->worker.Stopped() ? 1 : 0;
}

int mediaMergerIsPaused(MediaMerger* merger)
{
    return merger && merger->worker.Paused() ? 1 : 0;
}

int mediaMergerResult(MediaMerger* merger)
{
    if (!merger)
        return -1;
    std::lock_guard<std::mutex> hold(merger->lock);
    return merger->failed ? std::min(merger->worker.Result(), -1) : merger->worker.Result();
}

uint64_t mediaMergerDone(MediaMerger* merger)
{
    return merger ? merger->worker.Done() : 0;
}

uint64_t mediaMergerTotal(MediaMerger* merger)
{
    return merger ? merger->worker.Total() : 0;
}

int mediaPauseMerger(MediaMerger* merger)
{
    return merger && merger->worker.RequestPause() ? 1 : 0;
}

int mediaWaitMergerPaused(MediaMerger* merger)
{
    return merger && merger->worker.WaitPaused() ? 1 : 0;
}

int mediaResumeMerger(MediaMerger* merger)
{
    return merger && merger->worker.RequestResume() ? 1 : 0;
}

int mediaWaitMergerResumed(MediaMerger* merger)
{
    return merger && merger->worker.WaitResumed() ? 1 : 0;
}

void mediaCancelMerger(MediaMerger* merger)
{
    if (!merger)
        return;
    {
        std::lock_guard<std::mutex> hold(merger->lock);
        merger->queue.clear();
    }
    merger->worker.Cancel();
    merger->arrived.notify_all();
}

void mediaFinishMerger(MediaMerger* merger)
{
    if (!merger)
        return;
    {
        std::lock_guard<std::mutex> hold(merger->lock);
        merger->closing = true;
    }
    merger->arrived.notify_all();
    // A paused merge would never drain its queue.
    merger->worker.RequestResume();
    merger->worker.Join();
    if (merger->out.IsOpen()) {
        bool failed;
        {
            std::lock_guard<std::mutex> hold(merger->lock);
            failed = merger->failed;
        }
        if (failed || !merger->out.Close())
            merger->out.Discard();
    }
}

void mediaReleaseMerger(MediaMerger* merger)
{
    if (!merger)
        return;
    mediaFinishMerger(merger);
    delete merger;
}

}  // extern "C"
