// Feeds audio (or a file) to the media layer's recogniser and collects the
// tags it finds.
#ifndef VIDMEND_ZOAUDIORECOGNIZER_H
#define VIDMEND_ZOAUDIORECOGNIZER_H

#include <QObject>
#include <QString>

#include <cstdint>
#include <string>

struct MediaAudioFormat;
struct MediaRecognizer;

// Two 64-bit words: the sample-format index (low half, 0 to 4) and the
// channel count (high half); the sample rate (low half) and a further
// value (high half, passed on only when non-zero).
struct ZORecognizerAudioFormat {
    quint64 format = 0;
    quint64 rate = 0;

    static ZORecognizerAudioFormat make(int sampleFormat, int channels, int sampleRate, quint32 extra = 0);
    int sampleFormat() const { return int(uint32_t(format)); }
    int channels() const { return int(uint32_t(format >> 32)); }
    int sampleRate() const { return int(uint32_t(rate)); }
    quint32 extra() const { return quint32(rate >> 32); }
};

struct ZOAudioTagInfo {
    std::string title;
    std::string artist;
    std::string albumArtist;
    std::string composer;
    std::string album;
    std::string genre;
    std::string track;
    std::string year;
    std::string date;
    std::string grouping;
    std::string comment;
    std::string disc;
    std::string dvdSize;
    std::string dvdClip;
    std::string lyrics;
    std::string copyright;
    std::string cover;     // the cover picture's encoded bytes
    int coverSize = 0;

    void clear() { *this = ZOAudioTagInfo(); }
};

class ZOAudioRecognizer : public QObject {
    Q_OBJECT
public:
    // The audio buffered is capped just above 128 MiB.
    static constexpr int64_t kBufferLimit = 0x8000001;

    explicit ZOAudioRecognizer(QObject* parent = nullptr);
    ~ZOAudioRecognizer() override;

    // Bits a sample of the format index holds; 0 for an unknown index.
    static int getBitDepth(int sampleFormat);

public slots:
    int CreateAudioRecognizer(ZORecognizerAudioFormat format);
    // format: an AVCodecParameters of an audio stream.
    int CreateAudioRecognizer(void* format);
    bool CreateAudioRecognizerFromFilepath(QString path);
    // frame: an AVFrame of audio.
    void RecognizerAudioFrane(void* frame);
    void StopRecognizer();
    bool GetRecognizerCompleted();
    ZOAudioTagInfo GetAudioTagInfo();
    void ReleaseAudioRecognizer();

public:
    bool created() const { return m_created; }
    bool finished() const { return m_finished; }
    bool full() const { return m_full; }

private:
    int startWith(MediaAudioFormat* format);

    bool m_created = false;
    bool m_finished = false;
    bool m_full = false;
    MediaAudioFormat* m_format = nullptr;
    MediaRecognizer* m_recognizer = nullptr;
    ZORecognizerAudioFormat m_audioFormat;
    ZOAudioTagInfo m_tagInfo;
};

#endif
