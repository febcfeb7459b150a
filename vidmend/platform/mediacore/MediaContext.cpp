// The conversion context: settings by key, chapters, overlays and
// background audios, each read back as stored.
#include <algorithm>
#include <new>

#include "ConvertSettings.h"
#include "MediaConvert.h"
#include "MediaIO.h"

namespace mediacore {

void SettingMap::SetInt(int key, int64_t value)
{
    SettingValue& v = values_[key];
    v.kind = SettingValue::kInt;
    v.integer = value;
    v.real = static_cast<double>(value);
    v.text.clear();
}

void SettingMap::SetReal(int key, double value)
{
    SettingValue& v = values_[key];
    v.kind = SettingValue::kReal;
    v.real = value;
    v.integer = static_cast<int64_t>(value);
    v.text.clear();
}

void SettingMap::SetText(int key, const std::string& value)
{
    SettingValue& v = values_[key];
    v.kind = SettingValue::kText;
    v.text = value;
    v.integer = 0;
    v.real = 0.0;
}

int64_t SettingMap::Int(int key, int64_t fallback) const
{
    const auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second.integer;
}

double SettingMap::Real(int key, double fallback) const
{
    const auto it = values_.find(key);
    return it == values_.end() ? fallback : it->second.real;
}

const std::string& SettingMap::Text(int key) const
{
    static const std::string kEmpty;
    const auto it = values_.find(key);
    return it == values_.end() ? kEmpty : it->second.text;
}

}  // namespace mediacore

namespace {

using mediacore::ConvertSettings;
using mediacore::SettingMap;

// Overlay images and background audio files larger than these are refused:
// the whole source is held in memory.
constexpr int64_t kMaxOverlayBytes = int64_t(64) << 20;
constexpr int64_t kMaxAudioBytes = int64_t(256) << 20;

bool IsMainKey(int key)
{
    return key >= MEDIA_KEY_VIDEO_CODEC && key <= MEDIA_KEY_SUBTITLE_MARGIN_Y;
}

// The element of list at index, or null when the index is out of its range.
template <typename Setting>
Setting* Selected(std::vector<Setting>& list, int index)
{
    return index >= 0 && index < int(list.size()) ? &list[size_t(index)] : nullptr;
}

// The map a key belongs to, or null for an unknown key or an overlay key
// with nothing selected.
SettingMap* MapFor(MediaConvertContext* context, int key)
{
    if (!context)
        return nullptr;
    ConvertSettings& s = context->settings;
    if (IsMainKey(key))
        return &s.values;
    if ((key >= MEDIA_IMAGE_NAME && key <= MEDIA_IMAGE_ANGLE) || (key >= MEDIA_TEXT_WORDS && key < MEDIA_OVERLAY_LAST)) {
        mediacore::OverlaySetting* overlay = Selected(s.overlays, s.selectedOverlay);
        return overlay ? &overlay->values : nullptr;
    }
    if (key >= MEDIA_BGAUDIO_FIRST && key < MEDIA_BGAUDIO_LAST) {
        mediacore::BackgroundAudioSetting* audio = Selected(s.audios, s.selectedAudio);
        return audio ? &audio->values : nullptr;
    }
    return nullptr;
}

mediacore::OverlaySetting* SelectedOverlay(MediaConvertContext* context)
{
    return context ? Selected(context->settings.overlays, context->settings.selectedOverlay) : nullptr;
}

mediacore::BackgroundAudioSetting* SelectedAudio(MediaConvertContext* context)
{
    return context ? Selected(context->settings.audios, context->settings.selectedAudio) : nullptr;
}

// Overlays and background audios are sized first, then filled one at a time
// through the selected one; resizing leaves none selected.
template <typename Setting>
int SetCount(std::vector<Setting>& list, int& selected, int count)
{
    if (count < 0)
        return 0;
    list.resize(size_t(count));
    selected = -1;
    return 1;
}

template <typename Setting>
int Select(std::vector<Setting>& list, int& selected, int index)
{
    if (!Selected(list, index))
        return 0;
    selected = index;
    return 1;
}

}  // namespace

extern "C" {

MediaConvertContext* mediaCreateConvertContext(int)
{
    return new (std::nothrow) MediaConvertContext;
}

void mediaReleaseConvertContext(MediaConvertContext* context)
{
    delete context;
}

int mediaContextSetValue(MediaConvertContext* context, int key, int64_t value)
{
    SettingMap* map = MapFor(context, key);
    if (!map)
        return 0;
    map->SetInt(key, value);
    return 1;
}

int mediaContextSetReal(MediaConvertContext* context, int key, double value)
{
    SettingMap* map = MapFor(context, key);
    if (!map)
        return 0;
    map->SetReal(key, value);
    return 1;
}

int mediaContextSetText(MediaConvertContext* context, int key, const char* text)
{
    SettingMap* map = MapFor(context, key);
    if (!map)
        return 0;
    map->SetText(key, text ? text : "");
    return 1;
}

int mediaContextHas(MediaConvertContext* context, int key)
{
    const SettingMap* map = MapFor(context, key);
    return map && map->Has(key) ? 1 : 0;
}

int64_t mediaContextValue(MediaConvertContext* context, int key)
{
    const SettingMap* map = MapFor(context, key);
    return map ? map->Int(key) : 0;
}

double mediaContextReal(MediaConvertContext* context, int key)
{
    const SettingMap* map = MapFor(context, key);
    return map ? map->Real(key) : 0.0;
}

const char* mediaContextText(MediaConvertContext* context, int key)
{
    const SettingMap* map = MapFor(context, key);
    return map ? map->Text(key).c_str() : "";
}

int mediaContextAddChapter(MediaConvertContext* context, uint64_t start, uint64_t duration, const char* title)
{
    if (!context)
        return 0;
    context->settings.chapters.push_back({start, duration, title ? title : ""});
    return 1;
}

int mediaContextChapterCount(MediaConvertContext* context)
{
    return context ? int(context->settings.chapters.size()) : 0;
}

int mediaContextChapter(MediaConvertContext* context, int index, uint64_t* start, uint64_t* duration,
                        const char** title)
{
    if (!context || index < 0 || index >= int(context->settings.chapters.size()))
        return 0;
    const mediacore::ChapterSetting& c = context->settings.chapters[size_t(index)];
    if (start)
        *start = c.start;
    if (duration)
        *duration = c.duration;
    if (title)
        *title = c.title.c_str();
    return 1;
}

int mediaContextSetOverlayCount(MediaConvertContext* context, int count)
{
    return context ? SetCount(context->settings.overlays, context->settings.selectedOverlay, count) : 0;
}

int mediaContextOverlayCount(MediaConvertContext* context)
{
    return context ? int(context->settings.overlays.size()) : 0;
}

int mediaContextSelectOverlay(MediaConvertContext* context, int index)
{
    return context ? Select(context->settings.overlays, context->settings.selectedOverlay, index) : 0;
}

int mediaContextSetAudioCount(MediaConvertContext* context, int count)
{
    return context ? SetCount(context->settings.audios, context->settings.selectedAudio, count) : 0;
}

int mediaContextAudioCount(MediaConvertContext* context)
{
    return context ? int(context->settings.audios.size()) : 0;
}

int mediaContextSelectAudio(MediaConvertContext* context, int index)
{
    return context ? Select(context->settings.audios, context->settings.selectedAudio, index) : 0;
}

int mediaContextSetOverlayStream(MediaConvertContext* context, MediaStream* stream)
{
    mediacore::OverlaySetting* overlay = SelectedOverlay(context);
    if (!overlay || !stream)
        return 0;
    std::vector<uint8_t> bytes;
    if (!mediacore::ReadWholeStream(stream, kMaxOverlayBytes, bytes) || bytes.empty())
        return 0;
    overlay->encoded.swap(bytes);
    overlay->pixels = mediacore::Picture();
    return 1;
}

int mediaContextSetOverlayPixels(MediaConvertContext* context, const uint8_t* bgra, int width, int height,
                                 int lineSize)
{
    mediacore::OverlaySetting* overlay = SelectedOverlay(context);
    if (!overlay || !bgra || width <= 0 || height <= 0 || width > 16384 || height > 16384 || lineSize < width * 4)
        return 0;
    mediacore::Picture picture;
    picture.width = width;
    picture.height = height;
    picture.bgra.resize(size_t(width) * 4 * size_t(height));
    for (int y = 0; y < height; ++y)
        std::copy_n(bgra + size_t(y) * size_t(lineSize), size_t(width) * 4, picture.bgra.data() + size_t(y) * width * 4);
    overlay->pixels = std::move(picture);
    overlay->encoded.clear();
    return 1;
}

int mediaContextSetAudioStream(MediaConvertContext* context, MediaStream* stream)
{
    mediacore::BackgroundAudioSetting* audio = SelectedAudio(context);
    if (!audio || !stream)
        return 0;
    std::vector<uint8_t> bytes;
    if (!mediacore::ReadWholeStream(stream, kMaxAudioBytes, bytes))
        return 0;
    audio->encoded.swap(bytes);
    return 1;
}

int mediaContextSetEqualizer(MediaConvertContext* context, uint32_t count, const double* bands, const double* gains)
{
    mediacore::BackgroundAudioSetting* audio = SelectedAudio(context);
    if (!audio || (count && (!bands || !gains)))
        return 0;
    audio->bands.assign(bands, bands + count);
    audio->gains.assign(gains, gains + count);
    return 1;
}

uint32_t mediaContextEqualizer(MediaConvertContext* context, const double** bands, const double** gains)
{
    mediacore::BackgroundAudioSetting* audio = SelectedAudio(context);
    if (!audio)
        return 0;
    if (bands)
        *bands = audio->bands.data();
    if (gains)
        *gains = audio->gains.data();
    return uint32_t(audio->bands.size());
}

}  // extern "C"
