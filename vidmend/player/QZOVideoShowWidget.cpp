#include "QZOVideoShowWidget.h"

#include <QMutex>
#include <QMutexLocker>
#include <QOpenGLContext>
#include <QOpenGLFunctions_2_0>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace {

const char* const kVertexShader =
    "attribute vec4 vPosition;\n"
    "attribute vec2 a_texCoord;\n"
    "varying vec2 tc;\n"
    "void main()\n"
    "{\n"
    "    gl_Position = vPosition;\n"
    "    tc = a_texCoord;\n"
    "}\n";

// BT.601 limited range to RGB.
const char* const kFragmentShader =
    "varying vec2 tc;\n"
    "uniform sampler2D SamplerY;\n"
    "uniform sampler2D SamplerU;\n"
    "uniform sampler2D SamplerV;\n"
    "void main()\n"
    "{\n"
    "    vec3 yuv;\n"
    "    yuv.x = texture2D(SamplerY, tc).r - 0.0625;\n"
    "    yuv.y = texture2D(SamplerU, tc).r - 0.5;\n"
    "    yuv.z = texture2D(SamplerV, tc).r - 0.5;\n"
    "    vec3 rgb = mat3(1.164, 1.164, 1.164, 0.0, -0.392, 2.017, 1.596, -0.813, 0.0) * yuv;\n"
    "    gl_FragColor = vec4(rgb, 1.0);\n"
    "}\n";

constexpr int kMinTexture = 128;
constexpr unsigned char kBlackLuma = 16;
constexpr unsigned char kNeutralChroma = 128;  // the allocation's fill

QOpenGLFunctions_2_0* Gl()
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    if (!context)
        return nullptr;
    auto* f = context->versionFunctions<QOpenGLFunctions_2_0>();
    if (f && !f->initializeOpenGLFunctions())
        return nullptr;
    return f;
}

// Each row's bytes beyond the picture repeat its last byte.
void RepeatLastColumn(std::vector<unsigned char>& plane, size_t lineSize, size_t rows, size_t width)
{
    for (size_t r = 0; r < rows; ++r) {
        unsigned char* row = plane.data() + r * lineSize;
        std::memset(row + width, row[width - 1], lineSize - width);
    }
}

int TextureSide(int n)
{
    return std::max(kMinTexture, QZOVideoShowWidget::powerOfTwo(n));
}

// The textures sized anew for a frame of width x height whose rows hold
// textureRow pixels: powers of two, of which the frame covers s x t.
QZOVideoShowWidget::DrawState SizedState(QZOVideoShowWidget::FrameKind kind, int textureRow, int width, int height)
{
    QZOVideoShowWidget::DrawState st;
    st.kind = kind;
    st.textureWidth = TextureSide(textureRow);
    st.textureHeight = TextureSide(height);
    st.frameWidth = width;
    st.frameHeight = height;
    st.s = float(width) / float(st.textureWidth);
    st.t = float(height) / float(st.textureHeight);
    return st;
}

// Binds the texture on the given unit, filtered linearly and clamped at
// its edges, for its storage to be given.
void BindNewTexture(QOpenGLFunctions_2_0* f, GLenum unit, GLuint texture)
{
    f->glActiveTexture(unit);
    f->glBindTexture(GL_TEXTURE_2D, texture);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    f->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

// Allocates a luminance texture on the given unit, filled with one value
// so that its padding draws as black (luma) or grey (chroma).
void AllocLuminance(QOpenGLFunctions_2_0* f, GLenum unit, GLuint texture, int w, int h, unsigned char fill)
{
    const std::vector<unsigned char> bytes(size_t(w) * size_t(h), fill);
    BindNewTexture(f, unit, texture);
    f->glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, w, h, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, bytes.data());
}

// Uploads rows of w pixels (the whole stored row, padding included) and
// repeats the last row and column once beyond them where the texture has
// room: the picture is cropped out of a larger texture, and linear
// filtering at its edges reaches one texel past them.
void Upload(QOpenGLFunctions_2_0* f, GLenum unit, GLuint texture, const unsigned char* data, int w, int h,
            int textureW, int textureH, GLenum format, int bytesPerPixel)
{
    f->glActiveTexture(unit);
    f->glBindTexture(GL_TEXTURE_2D, texture);
    f->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, format, GL_UNSIGNED_BYTE, data);
    const size_t rowBytes = size_t(w) * size_t(bytesPerPixel);
    const bool extraRow = h < textureH;
    if (extraRow)
        f->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, h, w, 1, format, GL_UNSIGNED_BYTE, data + rowBytes * size_t(h - 1));
    if (w < textureW) {
        const int rows = h + (extraRow ? 1 : 0);
        std::vector<unsigned char> column(size_t(rows) * size_t(bytesPerPixel));
        for (int r = 0; r < rows; ++r)
            std::memcpy(&column[size_t(r) * size_t(bytesPerPixel)],
                        data + rowBytes * size_t(std::min(r, h - 1)) + rowBytes - size_t(bytesPerPixel),
                        size_t(bytesPerPixel));
        f->glTexSubImage2D(GL_TEXTURE_2D, 0, w, 0, 1, rows, format, GL_UNSIGNED_BYTE, column.data());
    }
}

GLuint CompileShader(QOpenGLFunctions_2_0* f, GLenum type, const char* source)
{
    const GLuint shader = f->glCreateShader(type);
    if (!shader)
        return 0;
    f->glShaderSource(shader, 1, &source, nullptr);
    f->glCompileShader(shader);
    GLint ok = 0;
    f->glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[1024] = {};
        f->glGetShaderInfoLog(shader, sizeof log - 1, nullptr, log);
        qWarning("video display: shader does not compile: %s", log);
        f->glDeleteShader(shader);
        return 0;
    }
    return shader;
}

}  // namespace

// One queued frame with its own copy of the pixels. A frame knows its
// kind, so whichever slot takes it off the queue draws it the right way.
struct QZOVideoShowWidget::Frame {
    FrameKind kind = NoFrame;
    int width = 0;
    int height = 0;
    bool hasPixels = false;
    std::vector<unsigned char> planes[3];
    int lineSizes[3] = {0, 0, 0};
};

struct QZOVideoShowWidget::Private {
    GLuint packedTexture = 0;
    GLuint yuvTextures[3] = {0, 0, 0};
    GLuint program = 0;
    GLuint vertexShader = 0;
    GLuint fragmentShader = 0;
    bool programFailed = false;
    // The textures of each kind keep their own sizes; the kind of the last
    // frame drawn decides what the paint shows.
    DrawState packed;
    DrawState yuv;
    FrameKind shown = NoFrame;
    // Raised on the queueing thread, lowered on the GUI thread.
    std::atomic<int> pending{0};
    QMutex mutex;
    std::deque<std::unique_ptr<Frame>> queue;
    QColor background{0, 0, 0, 255};
};

int QZOVideoShowWidget::powerOfTwo(int n)
{
    if (n <= 1)
        return 1;
    int p = 1;
    while (p < n && p < (1 << 30))
        p <<= 1;
    return p;
}

QZOVideoShowWidget::QZOVideoShowWidget(QWidget* parent) : QOpenGLWidget(parent), d(new Private)
{
    setAttribute(Qt::WA_MouseTracking);
    connect(this, &QZOVideoShowWidget::emitDrawImageData, this, &QZOVideoShowWidget::drawImageData);
    connect(this, &QZOVideoShowWidget::emitDrawYUVImageData, this, &QZOVideoShowWidget::drawYUVImageData);
}

QZOVideoShowWidget::~QZOVideoShowWidget()
{
    reset();
}

void QZOVideoShowWidget::setBackgroundColor(const QColor& color)
{
    d->background = color;
}

int QZOVideoShowWidget::pendingFrames() const
{
    return d->pending.load();
}

QZOVideoShowWidget::DrawState QZOVideoShowWidget::drawState() const
{
    if (d->shown == PackedFrame)
        return d->packed;
    if (d->shown == YuvFrame)
        return d->yuv;
    return DrawState();
}

unsigned int QZOVideoShowWidget::yuvProgram() const
{
    return d->program;
}

bool QZOVideoShowWidget::reservePending()
{
    int n = d->pending.load();
    do {
        if (n >= kMaxPending)
            return false;
    } while (!d->pending.compare_exchange_weak(n, n + 1));
    return true;
}

void QZOVideoShowWidget::queue(std::unique_ptr<Frame> frame, bool yuv)
{
    {
        QMutexLocker lock(&d->mutex);
        d->queue.push_back(std::move(frame));
    }
    if (yuv)
        emit emitDrawYUVImageData();
    else
        emit emitDrawImageData();
}

void QZOVideoShowWidget::showImage(unsigned char* data, unsigned int width, unsigned int height, unsigned int lineSize)
{
    auto frame = std::make_unique<Frame>();
    frame->kind = PackedFrame;
    if (data) {
        // A row shorter than the picture would be read past its end.
        if (width < 1 || height < 1 || width > (1u << 16) || height > (1u << 16) || lineSize / 4 < width ||
            lineSize % 4 != 0)
            return;
        if (!reservePending()) {
            std::puts("showImage too slow...");
            return;
        }
        try {
            std::vector<unsigned char>& rows = frame->planes[0];
            rows.assign(data, data + size_t(lineSize) * height);
            // The padding of each row repeats its last pixel, so the edge
            // of the picture filters against itself, not against garbage.
            for (size_t r = 0; r < height; ++r) {
                unsigned char* row = rows.data() + r * lineSize;
                for (size_t x = width; x < lineSize / 4; ++x)
                    std::memcpy(row + x * 4, row + (width - 1) * 4, 4);
            }
        } catch (const std::bad_alloc&) {
            --d->pending;
            return;
        }
        frame->hasPixels = true;
    } else {
        ++d->pending;
    }
    frame->width = int(width);
    frame->height = int(height);
    frame->lineSizes[0] = int(lineSize);
    queue(std::move(frame), false);
}

void QZOVideoShowWidget::showYUVImage(unsigned char** planes, int width, int height, int* lineSizes)
{
    auto frame = std::make_unique<Frame>();
    frame->kind = YuvFrame;
    frame->width = width;
    frame->height = height;
    if (!planes) {
        ++d->pending;
        queue(std::move(frame), true);
        return;
    }
    const int halfW = (width + 1) / 2;
    if (!lineSizes || !planes[0] || !planes[1] || !planes[2] || width < 1 || height < 1 || width > (1 << 16) ||
        height > (1 << 16) || lineSizes[0] < width || lineSizes[1] < halfW || lineSizes[2] < halfW)
        return;
    if (!reservePending()) {
        std::puts("showYUVImage too slow...");
        return;
    }
    const size_t evenH = size_t(height + 1) & ~size_t(1);
    const size_t halfH = evenH / 2;
    try {
        const size_t ls0 = size_t(lineSizes[0]);
        std::vector<unsigned char>& y = frame->planes[0];
        y.resize(ls0 * evenH);
        std::memcpy(y.data(), planes[0], ls0 * size_t(height));
        // An odd last row is doubled so the chroma rows pair up.
        if (evenH != size_t(height))
            std::memcpy(y.data() + ls0 * size_t(height), planes[0] + ls0 * size_t(height - 1), ls0);
        RepeatLastColumn(y, ls0, evenH, size_t(width));
        for (int p = 1; p < 3; ++p) {
            const size_t ls = size_t(lineSizes[p]);
            frame->planes[p].assign(planes[p], planes[p] + ls * halfH);
            // The padding the crop may touch when filtering carries the
            // edge's own colour, never the decoder's leftovers.
            RepeatLastColumn(frame->planes[p], ls, halfH, size_t(halfW));
        }
    } catch (const std::bad_alloc&) {
        --d->pending;
        return;
    }
    for (int p = 0; p < 3; ++p)
        frame->lineSizes[p] = lineSizes[p];
    frame->hasPixels = true;
    queue(std::move(frame), true);
}

void QZOVideoShowWidget::drawImageData()
{
    drawQueuedFrame();
}

void QZOVideoShowWidget::drawYUVImageData()
{
    drawQueuedFrame();
}

void QZOVideoShowWidget::drawQueuedFrame()
{
    std::unique_ptr<Frame> frame;
    {
        QMutexLocker lock(&d->mutex);
        if (d->queue.empty())
            return;
        frame = std::move(d->queue.front());
        d->queue.pop_front();
    }
    if (isValid() && context()) {
        makeCurrent();
        if (frame->kind == PackedFrame)
            uploadPacked(*frame);
        else
            uploadYuv(*frame);
        doneCurrent();
    }
    --d->pending;
    update();
}

void QZOVideoShowWidget::uploadPacked(const Frame& frame)
{
    DrawState& st = d->packed;
    QOpenGLFunctions_2_0* f = Gl();
    if (!frame.hasPixels || !f) {
        st = DrawState();
        d->shown = NoFrame;
        return;
    }
    if (!d->packedTexture) {
        f->glGenTextures(1, &d->packedTexture);
        st = DrawState();
    }
    const int rowPixels = frame.lineSizes[0] / 4;
    f->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (frame.width != st.frameWidth || frame.height != st.frameHeight || rowPixels > st.textureWidth) {
        st = SizedState(PackedFrame, rowPixels, frame.width, frame.height);
        BindNewTexture(f, GL_TEXTURE0, d->packedTexture);
        // The picture is opaque whatever the frame's alpha bytes hold.
        f->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, st.textureWidth, st.textureHeight, 0, GL_BGRA, GL_UNSIGNED_BYTE,
                        nullptr);
    }
    Upload(f, GL_TEXTURE0, d->packedTexture, frame.planes[0].data(), rowPixels, frame.height, st.textureWidth,
           st.textureHeight, GL_BGRA, 4);
    d->shown = PackedFrame;
}

bool QZOVideoShowWidget::buildProgram()
{
    QOpenGLFunctions_2_0* f = Gl();
    if (!f)
        return false;
    const GLuint vs = CompileShader(f, GL_VERTEX_SHADER, kVertexShader);
    const GLuint fs = vs ? CompileShader(f, GL_FRAGMENT_SHADER, kFragmentShader) : 0;
    const GLuint program = fs ? f->glCreateProgram() : 0;
    GLint linked = 0;
    if (program) {
        f->glAttachShader(program, vs);
        f->glAttachShader(program, fs);
        // Locations take effect at the link, so they are bound before it.
        f->glBindAttribLocation(program, 0, "vPosition");
        f->glBindAttribLocation(program, 1, "a_texCoord");
        f->glLinkProgram(program);
        f->glGetProgramiv(program, GL_LINK_STATUS, &linked);
        if (linked != GL_TRUE) {
            char log[1024] = {};
            f->glGetProgramInfoLog(program, sizeof log - 1, nullptr, log);
            qWarning("video display: shader program does not link: %s", log);
        }
    }
    if (linked != GL_TRUE) {
        if (program)
            f->glDeleteProgram(program);
        if (fs)
            f->glDeleteShader(fs);
        if (vs)
            f->glDeleteShader(vs);
        d->programFailed = true;
        return false;
    }
    d->vertexShader = vs;
    d->fragmentShader = fs;
    d->program = program;
    f->glGenTextures(3, d->yuvTextures);
    return true;
}

void QZOVideoShowWidget::uploadYuv(const Frame& frame)
{
    DrawState& st = d->yuv;
    QOpenGLFunctions_2_0* f = Gl();
    if (!frame.hasPixels || !f) {
        st = DrawState();
        d->shown = NoFrame;
        return;
    }
    if (!d->program && (d->programFailed || !buildProgram())) {
        d->shown = NoFrame;
        return;
    }
    const int* ls = frame.lineSizes;
    const bool fits = frame.width == st.frameWidth && frame.height == st.frameHeight && ls[0] <= st.textureWidth &&
                      ls[1] <= st.textureWidth / 2 && ls[2] <= st.textureWidth / 2;
    if (!fits) {
        const int m = std::max(ls[0], 2 * std::max(ls[1], ls[2]));
        st = SizedState(YuvFrame, m, frame.width, frame.height);
        AllocLuminance(f, GL_TEXTURE0, d->yuvTextures[0], st.textureWidth, st.textureHeight, kBlackLuma);
        AllocLuminance(f, GL_TEXTURE1, d->yuvTextures[1], st.textureWidth / 2, st.textureHeight / 2, kNeutralChroma);
        AllocLuminance(f, GL_TEXTURE2, d->yuvTextures[2], st.textureWidth / 2, st.textureHeight / 2, kNeutralChroma);
    }
    const int evenH = (frame.height + 1) & ~1;
    f->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    Upload(f, GL_TEXTURE0, d->yuvTextures[0], frame.planes[0].data(), ls[0], evenH, st.textureWidth,
           st.textureHeight, GL_LUMINANCE, 1);
    for (int p = 1; p < 3; ++p)
        Upload(f, GL_TEXTURE0 + p, d->yuvTextures[p], frame.planes[p].data(), ls[p], evenH / 2,
               st.textureWidth / 2, st.textureHeight / 2, GL_LUMINANCE, 1);
    d->shown = YuvFrame;
}

void QZOVideoShowWidget::reset()
{
    {
        QMutexLocker lock(&d->mutex);
        d->queue.clear();
    }
    if (isValid() && context()) {
        makeCurrent();
        if (QOpenGLFunctions_2_0* f = Gl()) {
            if (d->packedTexture)
                f->glDeleteTextures(1, &d->packedTexture);
            for (GLuint& t : d->yuvTextures)
                if (t)
                    f->glDeleteTextures(1, &t);
            if (d->program)
                f->glDeleteProgram(d->program);
            if (d->vertexShader)
                f->glDeleteShader(d->vertexShader);
            if (d->fragmentShader)
                f->glDeleteShader(d->fragmentShader);
        }
        doneCurrent();
    }
    d->packedTexture = 0;
    std::fill(std::begin(d->yuvTextures), std::end(d->yuvTextures), 0u);
    d->program = d->vertexShader = d->fragmentShader = 0;
    d->programFailed = false;
    d->packed = DrawState();
    d->yuv = DrawState();
    d->shown = NoFrame;
    d->pending = 0;
}

void QZOVideoShowWidget::initializeGL()
{
    makeCurrent();
}

void QZOVideoShowWidget::resizeGL(int w, int h)
{
    if (QOpenGLFunctions_2_0* f = Gl())
        f->glViewport(0, 0, int(w * devicePixelRatioF()), int(h * devicePixelRatioF()));
}

void QZOVideoShowWidget::paintGL()
{
    QOpenGLFunctions_2_0* f = Gl();
    if (!f)
        return;
    f->glViewport(0, 0, int(width() * devicePixelRatioF()), int(height() * devicePixelRatioF()));
    f->glClearColor(float(d->background.redF()), float(d->background.greenF()), float(d->background.blueF()), 1.0f);
    f->glClear(GL_COLOR_BUFFER_BIT);
    if (d->shown == PackedFrame && d->packedTexture) {
        const float s = d->packed.s, t = d->packed.t;
        // The fixed pipeline draws the packed picture; no program may be
        // in use for it.
        f->glUseProgram(0);
        f->glActiveTexture(GL_TEXTURE0);
        f->glEnable(GL_TEXTURE_2D);
        f->glBindTexture(GL_TEXTURE_2D, d->packedTexture);
        f->glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
        f->glBegin(GL_QUADS);
        f->glTexCoord2f(0, 0);
        f->glVertex2f(-1, 1);
        f->glTexCoord2f(0, t);
        f->glVertex2f(-1, -1);
        f->glTexCoord2f(s, t);
        f->glVertex2f(1, -1);
        f->glTexCoord2f(s, 0);
        f->glVertex2f(1, 1);
        f->glEnd();
        f->glDisable(GL_TEXTURE_2D);
    } else if (d->shown == YuvFrame && d->program) {
        const float s = d->yuv.s, t = d->yuv.t;
        const GLfloat vertices[] = {-1, -1, 1, -1, -1, 1, 1, 1};
        const GLfloat texCoords[] = {0, t, s, t, 0, 0, s, 0};
        // Every paint uses the program: the packed path sets none.
        f->glUseProgram(d->program);
        f->glBindBuffer(GL_ARRAY_BUFFER, 0);
        f->glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, vertices);
        f->glEnableVertexAttribArray(0);
        f->glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 0, texCoords);
        f->glEnableVertexAttribArray(1);
        const char* samplers[3] = {"SamplerY", "SamplerU", "SamplerV"};
        for (int i = 0; i < 3; ++i) {
            f->glActiveTexture(GL_TEXTURE0 + i);
            f->glBindTexture(GL_TEXTURE_2D, d->yuvTextures[i]);
            f->glUniform1i(f->glGetUniformLocation(d->program, samplers[i]), i);
        }
        f->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        f->glDisableVertexAttribArray(0);
        f->glDisableVertexAttribArray(1);
        f->glUseProgram(0);
        f->glActiveTexture(GL_TEXTURE0);
    }
    f->glFlush();
}
