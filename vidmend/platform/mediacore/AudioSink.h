// Where played sound goes: an SDL2 audio device when one opens, else a sink
// of our own that drains the samples at the real-time rate, so the clock
// and the level display behave the same without a sound card.
#ifndef VIDMEND_AUDIOSINK_H
#define VIDMEND_AUDIOSINK_H

#include <memory>

#include "AudioOutput.h"

namespace mediacore {

class AudioSink {
 public:
    virtual ~AudioSink() = default;
    // Sinks start paused.
    virtual void SetPaused(bool paused) = 0;
    virtual bool IsDevice() const = 0;
};

// Drains output (which must outlive the sink) through a device, or through
// the null sink when SDL_AUDIODRIVER is "dummy" or no device opens. Sets
// the output's latency.
std::unique_ptr<AudioSink> OpenAudioSink(AudioOutput* output);
// The null sink alone.
std::unique_ptr<AudioSink> OpenNullSink(AudioOutput* output);

}  // namespace mediacore

#endif
