// What a conversion context holds: keyed values, chapters, overlays and
// background audios. A converter copies it when it opens, so the caller may
// change or release the context afterwards.
#ifndef VIDMEND_CONVERTSETTINGS_H
#define VIDMEND_CONVERTSETTINGS_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace mediacore {

struct SettingValue {
    enum Kind { kInt, kReal, kText } kind = kInt;
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
};

// One key space; reading a value as another kind converts it.
class SettingMap {
public:
    void SetInt(int key, int64_t value);
    void SetReal(int key, double value);
    void SetText(int key, const std::string& value);
    bool Has(int key) const { return values_.count(key) != 0; }
    int64_t Int(int key, int64_t fallback = 0) const;
    double Real(int key, double fallback = 0.0) const;
    // Empty when unset.
    const std::string& Text(int key) const;

private:
    std::map<int, SettingValue> values_;
};

struct ChapterSetting {
    uint64_t start = 0;
    uint64_t duration = 0;
    std::string title;
};

// A picture in 32-bit BGRA, straight (not premultiplied) alpha.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgra;  // width * 4 bytes a row
    bool Empty() const { return width <= 0 || height <= 0; }
};

struct OverlaySetting {
    SettingMap values;
    std::vector<uint8_t> encoded;  // an encoded image, when given as a stream
    Picture pixels;                // pixels, when given as such
};

struct BackgroundAudioSetting {
    SettingMap values;
    std::vector<uint8_t> encoded;
    std::vector<double> bands;
    std::vector<double> gains;
};

struct ConvertSettings {
    SettingMap values;
    std::vector<ChapterSetting> chapters;
    std::vector<OverlaySetting> overlays;
    std::vector<BackgroundAudioSetting> audios;
    int selectedOverlay = -1;
    int selectedAudio = -1;
};

}  // namespace mediacore

struct MediaConvertContext {
    mediacore::ConvertSettings settings;
};

#endif
