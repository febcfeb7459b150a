// The plain records that describe one conversion job: encoder parameters,
// tags, subtitles, trim range, effects, crop and rotation, and the overlaid
// media (image and text watermarks, background audio). Every record copies
// all of its fields; owned arrays are copied deeply.
#ifndef VIDMEND_ZOCONVERTSETTINGS_H
#define VIDMEND_ZOCONVERTSETTINGS_H

#include <QString>
#include <QtGlobal>

#include <memory>
#include <string>

namespace ZO_MEDIA_COM {

// Font names may come with a leading '@' (a vertical-writing face); the
// media layer takes the plain name.
inline std::string withoutAtSign(const std::string& name)
{
    return !name.empty() && name[0] == '@' ? name.substr(1) : name;
}

struct QVideoEncParam {
    // A four-character code as a 32-bit value ('H265' is 0x48323635, an AVI
    // tag such as 'XVID') or an AV_CODEC_ID_* value.
    int codec = 0;
    int width = 0;   // used only when both are set
    int height = 0;
    int frameRate = 0;     // frames per second times 100; 0: the fraction below
    int pixelFormat = 0;   // kept with the job, not passed on
    int frameRateNum = 0;
    int frameRateDen = 0;
    int bitRate = 0;       // passed on when set
    int gopSize = 0;       // always passed on
    int threads = 0;       // kept with the job, not passed on
};

struct QAudioEncParam {
    int codec = 0;         // an AV_CODEC_ID_* value; AAC also names the encoder "aac"
    int sampleRate = 0;    // 0: 44100
    int channels = 0;      // 0: 2
    qint64 channelLayout = 0;
    int bitRate = 0;       // passed on when set
    int quality = 0;       // always passed on
    int sampleFormat = 0;  // kept with the job, not passed on
};

// A rectangle as fractions of the picture.
struct QCropRect {
    double x = 0.0;
    double y = 0.0;
    double width = 1.0;
    double height = 1.0;
};

struct QCropSettings {
    int mode = 0;          // 2: the output size follows the rotation
    int fill = 0;          // 1: pad with the colour (and, with useEncoderRect, the second rectangle)
    int width = 0;
    int height = 0;
    int cropMode = 0;
    int keepRatio = 1;
    int rotation = 0;      // degrees; a multiple of 180 keeps width and height
    int flip = 0;
    int useEncoderRect = 1;
    quint32 colour = 0xFF000000u;  // ARGB
    QCropRect rect;
    QCropRect encoderRect;

    // The rectangle and size the job uses: the second rectangle with the
    // encoder's own size, or the first with the crop's output size.
    bool usesEncoderRect() const { return fill == 1 && useEncoderRect != 0 && mode != 2; }
};

struct QAudioTagSetting {
    QAudioTagSetting() = default;
    QAudioTagSetting(const QAudioTagSetting&) = default;
    QAudioTagSetting& operator=(const QAudioTagSetting&) = default;
    virtual ~QAudioTagSetting() = default;

    std::string title;
    std::string artist;
    std::string albumArtist;
    std::string composer;
    std::string album;
    std::string genre;
    std::string track;
    std::string year;
    std::string date;       // not written
    std::string grouping;
    std::string comment;
    std::string disc;
    std::string lyrics;
    std::string coverPath;  // the cover when no bytes are given
    const uchar* coverData = nullptr;  // borrowed
    int coverSize = 0;
};

struct QSubtitleValueInfo {
    int delay = 0;
    int encoding = 0;
    int choice = 0;        // 1..n: inner stream; n + 1: beside the input; more: the outside file
    int innerCount = 0;
    std::string outsidePath;
};

struct QSubtitleSettings {
    int style = 0;
    int scaleX = 100;
    int scaleY = 100;
    int offset = 0;        // milliseconds
    std::string fontName;  // a leading '@' is dropped
    int fontSize = 0;
    int colour = 0;
    int outlineColour = 0;
    int bold = 0;
    int italic = 0;
    int underline = 0;
    int outline = 0;
    int shadow = 0;
    int marginX = 0;       // thousandths
    int marginY = 0;
};

// Times in microseconds.
struct QTrimTimeSet {
    qint64 start = 0;
    qint64 end = 0;        // not read by the job
    qint64 length = 0;     // 0: to the end
};

struct QAudioEffectSetting {
    int volume = 100;
    int speed = 100;
    int pitch = 100;
};

struct QVideoEffectSettings {
    int contrast = 100;
    int brightness = 0;
    int saturation = 100;
    int gamma = 100;
    int hue = 0;
};

enum SubMediaKind { SubMediaImage = 1, SubMediaText = 2, SubMediaAudio = 3 };

struct QSubMediaSetting {
    explicit QSubMediaSetting(int kind) : kind(kind) {}
    QSubMediaSetting(const QSubMediaSetting&) = default;
    QSubMediaSetting& operator=(const QSubMediaSetting&) = default;
    virtual ~QSubMediaSetting() = default;

    int kind;
};

struct QImageWatermarkSettings : QSubMediaSetting {
    explicit QImageWatermarkSettings(int kind = SubMediaImage);
    void reset();

    QString imagePath;
    QString imageName;
    int alpha;
    double scaleX;         // percent of the image's own size
    double scaleY;
    int boxWidth;
    int boxHeight;
    int zoom;
    bool visible;
    int alignment;
    double ratioX;
    double ratioY;
    qint64 startTime;      // microseconds of output; -1 open
    qint64 endTime;
    int repeat;
    double x;              // the centre's offset from the picture's centre, as fractions
    double y;
    double width;          // fractions of the picture; 0: the image's own size
    double height;
    int blend;
    qint64 sourceStream;   // a ready MediaStream* of the encoded picture, borrowed
    qint64 sourceImage;    // a ready const QImage*, borrowed
    bool turned;           // the angle is turned by 180 degrees
    int angle;
};

struct QTextWatermarkSettings : QSubMediaSetting {
    explicit QTextWatermarkSettings(int kind = SubMediaText);
    void reset();

    QString text;
    int alpha;
    double scaleX;
    double scaleY;
    qint16 lines;
    qint16 effects;        // set: the outline and shadow values are passed on
    QString fontName;      // a leading '@' is dropped
    QString styleName;     // passed on when set
    int fontSize;
    int alignment;
    quint32 colour;
    quint32 outlineColour;
    quint32 backColour;
    double x;
    double y;
    qint64 startTime;
    qint64 endTime;
    int angle;
    int outlineWidth;
    int shadowX;
    int shadowY;
    int shadowBlur;
};

struct QAudioBackgroundSettings : QSubMediaSetting {
    explicit QAudioBackgroundSettings(int kind = SubMediaAudio);
    QAudioBackgroundSettings(const QAudioBackgroundSettings& other);
    QAudioBackgroundSettings& operator=(const QAudioBackgroundSettings& other);
    ~QAudioBackgroundSettings() override;
    void reset();

    // Copies n values of each array; n == 0 leaves no equaliser.
    void setEqInfo(unsigned int n, const double* bands, const double* gains);
    void resetEq();
    unsigned int eqCount() const { return m_eqCount; }
    const double* eqBands() const { return m_eqBands.get(); }
    const double* eqGains() const { return m_eqGains.get(); }

    QString audioPath;
    int offset;
    int volume;
    int fade;
    int loop;
    int speed;
    int track;
    int mix;
    int balance;
    qint64 startTime;
    qint64 length;
    qint64 sourceStream;   // a ready MediaStream* of the audio file, borrowed

private:
    std::unique_ptr<double[]> m_eqBands;
    std::unique_ptr<double[]> m_eqGains;
    unsigned int m_eqCount = 0;
};

}  // namespace ZO_MEDIA_COM

#endif
