#include "QZOMediaInterface.h"

#include <QtDebug>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MediaConvert.h"

namespace {

constexpr int kMaxSide = 16384;

void LogLine(int level, const char* line)
{
    qDebug("media[%d]: %s", level, line);
}

// The layer's overlays decode their pictures through Qt, which reads more
// image formats than FFmpeg's still-image decoders.
int DecodeImage(const uint8_t* data, uint32_t size, int* width, int* height, uint8_t** pixels)
{
    QImage image;
    if (!data || !width || !height || !pixels || !image.loadFromData(data, int(std::min<uint32_t>(size, INT32_MAX))))
        return 0;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    if (argb.isNull() || argb.width() > kMaxSide || argb.height() > kMaxSide)
        return 0;
    const size_t row = size_t(argb.width()) * 4;
    auto* out = static_cast<uint8_t*>(malloc(row * size_t(argb.height())));
    if (!out)
        return 0;
    for (int y = 0; y < argb.height(); ++y)
        std::memcpy(out + row * size_t(y), argb.constScanLine(y), row);
    *width = argb.width();
    *height = argb.height();
    *pixels = out;
    return 1;
}

// The size that fits the media's shape into width x height; the media's
// own size when no box is given.
bool FitSize(int mediaWidth, int mediaHeight, int width, int height, int& outWidth, int& outHeight)
{
    if (mediaWidth <= 0 || mediaHeight <= 0)
        return false;
    if (width <= 0 || height <= 0) {
        outWidth = mediaWidth;
        outHeight = mediaHeight;
    } else {
        const double scale = std::min(double(width) / mediaWidth, double(height) / mediaHeight);
        outWidth = std::max(1, int(std::lround(mediaWidth * scale)));
        outHeight = std::max(1, int(std::lround(mediaHeight * scale)));
    }
    return outWidth <= kMaxSide && outHeight <= kMaxSide;
}

QImage* LoadCover(const uint8_t* bytes, uint32_t size, int width, int height)
{
    QImage image;
    if (!bytes || !image.loadFromData(bytes, int(std::min<uint32_t>(size, INT32_MAX))))
        return nullptr;
    int w, h;
    if (!FitSize(image.width(), image.height(), width, height, w, h))
        return nullptr;
    return new QImage(image.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_ARGB32));
}

}  // namespace

QImage* QZOMediaInterface::getMediaImage(const char* path, bool flag, int width, int height)
{
    if (!path)
        return nullptr;
    MediaStream* stream = mediaOpenStream(path, MEDIA_STREAM_READ);
    if (!stream)
        return nullptr;
    QImage* image = getStreamImage(stream, flag, width, height);
    mediaReleaseStream(stream);
    return image;
}

QImage* QZOMediaInterface::getStreamImage(void* stream, bool flag, int width, int height)
{
    if (!stream)
        return nullptr;
    MediaDetail* detail = mediaCreateDetail(-1);
    QImage* image = nullptr;
    if (detail && mediaOpenDetailStream(detail, static_cast<MediaStream*>(stream)))
        image = stillImage(detail, flag, width, height);
    mediaReleaseDetail(detail);
    return image;
}

QImage* QZOMediaInterface::stillImage(MediaDetail* detail, bool flag, int width, int height)
{
    uint32_t coverSize = 0;
    const uint8_t* cover = mediaDetailMetadata(detail, "cover_image", &coverSize);
    if (!flag && QString::fromUtf8(mediaDetailContainer(detail)) == QLatin1String("HEIC")) {
        uint32_t size = 0;
        const uint8_t* index = mediaDetailMetadata(detail, "thumbnail_index", &size);
        const int thumbnail = index ? QByteArray(reinterpret_cast<const char*>(index), int(size)).toInt() : 0;
        if (index)
            mediaDetailSelectImage(detail, thumbnail - 1);
        if (cover) {
            if (!mediaDetailHasVideo(detail)) {
                MediaDetail* own = mediaCreateDetail(-1);
                QImage* image = nullptr;
                if (own && mediaOpenDetailMemory(own, cover, coverSize)) {
                    if (index)
                        mediaDetailSelectImage(own, thumbnail - 1);
                    image = frameImage(own, width, height);
                }
                mediaReleaseDetail(own);
                if (image)
                    return image;
            }
            if (QImage* image = LoadCover(cover, coverSize, width, height))
                return image;
        }
    }
    if (mediaDetailWidth(detail) > 0 && mediaDetailHasVideo(detail))
        return frameImage(detail, width, height);
    // An audio file shows its cover picture.
    return cover ? LoadCover(cover, coverSize, width, height) : nullptr;
}

QImage* QZOMediaInterface::frameImage(MediaDetail* detail, int width, int height)
{
    int w, h;
    if (!FitSize(mediaDetailWidth(detail), mediaDetailHeight(detail), width, height, w, h))
        return nullptr;
    const int lineSize = w * 4;
    std::vector<uint8_t> pixels(size_t(lineSize) * size_t(h));
    const uint64_t third = mediaDetailSeekable(detail) ? mediaDetailDuration(detail) / 3 : 0;
    if (!mediaDetailGrabFrame(detail, third, w, h, pixels.data(), lineSize) &&
        (third == 0 || !mediaDetailGrabFrame(detail, 0, w, h, pixels.data(), lineSize)))
        return nullptr;
    auto* image = new QImage(w, h, QImage::Format_ARGB32);
    if (image->isNull()) {
        delete image;
        return nullptr;
    }
    for (int y = 0; y < h; ++y)
        std::memcpy(image->scanLine(y), pixels.data() + size_t(y) * lineSize, size_t(lineSize));
    return image;
}

int QZOMediaInterface::setMediaGlobalFunction(zoMediaGlobalParam* param)
{
    mediaGlobalSetup(1, 1);
    if (param && !param->path.isEmpty())
        mediaGlobalSetTempFolder(param->path.toUtf8().constData());
    static const MediaGlobalTable table{LogLine, DecodeImage};
    return mediaGlobalRegister(&table, 2);
}
