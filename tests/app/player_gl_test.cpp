// The preview player on a real X server with Mesa's OpenGL: frames of both
// layouts reach the screen in the right colours, the preview window is
// rendered into the screens folder, and with the media layer's own player a
// repaired file plays, pauses, seeks and gives way to the next one.
#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QScreen>
#include <QTest>

#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "AppTestEnv.h"
#include "QBaseAudioDataWidget.h"
#include "QBasePlayControl.h"
#include "QBasePlayWidget.h"
#include "QBaseVideoWindow.h"
#include "QPlayerDlg.h"
#include "QZOBaseButton.h"
#include "QZOBaseProgress.h"
#include "QZOVideoShowWidget.h"
#include "RepairRecorder.h"
#include "Screens.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

// Defined only by the test stand-in for the media layer's player.
extern "C" bool FakePlayerInUse() __attribute__((weak));

namespace {

#define REQUIRE_X()                                                                               \
    if (!OnX())                                                                                   \
    GTEST_SKIP() << "needs an X server (the test command runs it on one of its own)"

// A one-colour planar frame with padded rows whose padding is black.
struct YuvFrame {
    int width, height;
    int lineSizes[3];
    std::vector<unsigned char> planes[3];
    unsigned char* data[3];

    YuvFrame(int w, int h, unsigned char y, unsigned char u, unsigned char v) : width(w), height(h)
    {
        lineSizes[0] = (w + 63) & ~63;
        lineSizes[1] = lineSizes[2] = lineSizes[0] / 2;
        const int rows[3] = {h, (h + 1) / 2, (h + 1) / 2};
        const int widths[3] = {w, (w + 1) / 2, (w + 1) / 2};
        const unsigned char values[3] = {y, u, v};
        for (int p = 0; p < 3; ++p) {
            planes[p].assign(size_t(lineSizes[p]) * rows[p], p == 0 ? 0 : 255);
            for (int r = 0; r < rows[p]; ++r)
                std::memset(&planes[p][size_t(r) * lineSizes[p]], values[p], size_t(widths[p]));
            data[p] = planes[p].data();
        }
    }
};

struct BgraFrame {
    int width, height, lineSize;
    std::vector<unsigned char> pixels;

    BgraFrame(int w, int h, QColor c, int padding = 16) : width(w), height(h), lineSize(w * 4 + padding)
    {
        pixels.assign(size_t(lineSize) * h, 0);
        const unsigned char px[4] = {uchar(c.blue()), uchar(c.green()), uchar(c.red()), 255};
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x)
                std::memcpy(&pixels[size_t(r) * lineSize + x * 4], px, 4);
    }
};

::testing::AssertionResult Near(const QColor& got, const QColor& want, int tolerance = 8)
{
    if (std::abs(got.red() - want.red()) <= tolerance && std::abs(got.green() - want.green()) <= tolerance &&
        std::abs(got.blue() - want.blue()) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got.name().toStdString() << ", want "
                                         << want.name().toStdString();
}

const QColor kRed(255, 0, 0);

class VideoDisplay : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_X();
        display.resize(160, 120);
        display.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&display, kHangGuardMs));
    }
    void Drain() { ASSERT_TRUE(WaitFor([&] { return display.pendingFrames() == 0; })); }
    QColor Centre()
    {
        const QImage shot = display.grabFramebuffer();
        return shot.pixelColor(shot.width() / 2, shot.height() / 2);
    }

    QZOVideoShowWidget display;
};

}  // namespace

TEST_F(VideoDisplay, EachFrameIsDrawnAsItsOwnKind)
{
    YuvFrame red(60, 45, 81, 90, 240);
    BgraFrame green(60, 45, QColor(0, 200, 0));
    BgraFrame blue(60, 45, QColor(0, 0, 220));
    enum Step { Yuv, Green, Blue, EmptyYuv, EmptyPacked, Flush };
    const struct {
        std::vector<Step> steps;
        QColor shown;
        QZOVideoShowWidget::FrameKind kind;
    } cases[] = {
        {{Yuv, Flush}, kRed, QZOVideoShowWidget::YuvFrame},
        {{Green, Flush}, QColor(0, 200, 0), QZOVideoShowWidget::PackedFrame},
        // A planar frame after a packed one is the one shown.
        {{Green, Flush, Yuv, Flush}, kRed, QZOVideoShowWidget::YuvFrame},
        {{Yuv, Flush, Blue, Flush}, QColor(0, 0, 220), QZOVideoShowWidget::PackedFrame},
        // Queued together, each is drawn by its own kind; the last one stays.
        {{Blue, Yuv, Green, Yuv, Flush}, kRed, QZOVideoShowWidget::YuvFrame},
        {{Yuv, Green, Flush}, QColor(0, 200, 0), QZOVideoShowWidget::PackedFrame},
        // A frame without pixels empties the picture.
        {{Yuv, Flush, EmptyYuv, Flush}, Qt::black, QZOVideoShowWidget::NoFrame},
        {{Green, Flush, EmptyPacked, Flush}, Qt::black, QZOVideoShowWidget::NoFrame},
    };
    int n = 0;
    for (const auto& c : cases) {
        display.reset();
        for (Step s : c.steps) {
            switch (s) {
            case Yuv: display.showYUVImage(red.data, red.width, red.height, red.lineSizes); break;
            case Green: display.showImage(green.pixels.data(), 60, 45, unsigned(green.lineSize)); break;
            case Blue: display.showImage(blue.pixels.data(), 60, 45, unsigned(blue.lineSize)); break;
            case EmptyYuv: display.showYUVImage(nullptr, 60, 45, nullptr); break;
            case EmptyPacked: display.showImage(nullptr, 60, 45, 0); break;
            case Flush: Drain(); break;
            }
        }
        EXPECT_TRUE(Near(Centre(), c.shown)) << "case " << n;
        EXPECT_EQ(display.drawState().kind, c.kind) << "case " << n;
        ++n;
    }
}

TEST_F(VideoDisplay, TextureSizesAndTheCroppedPart)
{
    BgraFrame hd(1920, 1080, kRed, 0);
    display.showImage(hd.pixels.data(), 1920, 1080, 7680);
    Drain();
    auto st = display.drawState();
    EXPECT_EQ(QSize(st.textureWidth, st.textureHeight), QSize(2048, 2048));
    EXPECT_FLOAT_EQ(st.s, 0.9375f);
    EXPECT_FLOAT_EQ(st.t, 0.52734375f);

    const struct {
        int w, h;
        int ls[3];
        QSize texture;
    } cases[] = {{640, 360, {640, 320, 320}, QSize(1024, 512)},
                 {100, 50, {128, 64, 64}, QSize(128, 128)},
                 {100, 50, {128, 96, 64}, QSize(256, 128)}};
    for (const auto& c : cases) {
        YuvFrame f(c.w, c.h, 81, 90, 240);
        std::vector<unsigned char> planes[3];
        unsigned char* data[3];
        for (int p = 0; p < 3; ++p) {
            const int rows = p == 0 ? c.h : (c.h + 1) / 2;
            planes[p].assign(size_t(c.ls[p]) * rows, p == 0 ? 81 : (p == 1 ? 90 : 240));
            data[p] = planes[p].data();
        }
        int ls[3] = {c.ls[0], c.ls[1], c.ls[2]};
        display.showYUVImage(data, c.w, c.h, ls);
        Drain();
        st = display.drawState();
        EXPECT_EQ(QSize(st.textureWidth, st.textureHeight), c.texture) << c.w << "x" << c.h;
        EXPECT_FLOAT_EQ(st.s, float(c.w) / c.texture.width());
    }
}

TEST_F(VideoDisplay, EdgesShowThePictureNotItsPaddingAtAnySize)
{
    // Rows padded with black, an odd height; shown one to one and enlarged,
    // where filtering reaches past the picture's last row and column.
    YuvFrame yuv(60, 45, 81, 90, 240);
    BgraFrame bgra(60, 45, kRed);
    for (const QSize size : {QSize(60, 45), QSize(240, 180)}) {
        for (const bool packed : {false, true}) {
            display.reset();
            display.resize(size);
            QCoreApplication::processEvents();
            if (packed)
                display.showImage(bgra.pixels.data(), 60, 45, unsigned(bgra.lineSize));
            else
                display.showYUVImage(yuv.data, yuv.width, yuv.height, yuv.lineSizes);
            Drain();
            const QImage shot = display.grabFramebuffer();
            const int w = shot.width() - 1, h = shot.height() - 1;
            for (const QPoint& p : {QPoint(w / 2, h), QPoint(w, h / 2), QPoint(w, h), QPoint(0, 0)})
                EXPECT_TRUE(Near(shot.pixelColor(p), kRed, 12))
                    << (packed ? "packed " : "planar ") << size.width() << " at " << p.x() << "," << p.y();
        }
    }
}

TEST_F(VideoDisplay, ShaderInputsAreBoundBeforeTheLink)
{
    YuvFrame red(60, 45, 81, 90, 240);
    display.showYUVImage(red.data, red.width, red.height, red.lineSizes);
    Drain();
    ASSERT_NE(display.yuvProgram(), 0u);
    display.makeCurrent();
    QOpenGLFunctions* f = QOpenGLContext::currentContext()->functions();
    EXPECT_EQ(f->glGetAttribLocation(display.yuvProgram(), "vPosition"), 0);
    EXPECT_EQ(f->glGetAttribLocation(display.yuvProgram(), "a_texCoord"), 1);
    display.doneCurrent();
}

TEST_F(VideoDisplay, AtMostNineFramesWaitAndEmptyOnesAreNeverDropped)
{
    BgraFrame green(60, 45, QColor(0, 200, 0));
    YuvFrame red(60, 45, 81, 90, 240);
    // The decoding thread runs ahead of a GUI thread that draws nothing.
    std::thread decoder([&] {
        for (int i = 0; i < 20; ++i) {
            if (i % 2)
                display.showImage(green.pixels.data(), 60, 45, unsigned(green.lineSize));
            else
                display.showYUVImage(red.data, red.width, red.height, red.lineSizes);
        }
        display.showYUVImage(nullptr, 60, 45, nullptr);
        display.showImage(nullptr, 60, 45, 0);
    });
    decoder.join();
    EXPECT_EQ(display.pendingFrames(), QZOVideoShowWidget::kMaxPending + 2);
    Drain();
    EXPECT_EQ(display.drawState().kind, QZOVideoShowWidget::NoFrame);
    // The count came back to 0, so new frames are taken again.
    display.showImage(green.pixels.data(), 60, 45, unsigned(green.lineSize));
    Drain();
    EXPECT_TRUE(Near(Centre(), QColor(0, 200, 0)));
}

TEST(VideoWindow, KeepsTheVideosShapeCentred)
{
    QBaseVideoWindow window;
    const struct {
        QSize window;
        QRect display;
    } cases[] = {{QSize(400, 400), QRect(0, 87, 400, 225)}, {QSize(800, 400), QRect(44, 0, 711, 400)},
                 {QSize(1280, 720), QRect(0, 0, 1280, 720)}};
    for (const auto& c : cases) {
        window.resize(c.window);
        window.setVideoSize(1280, 720);
        EXPECT_EQ(window.getVideoViewRect(), c.display) << c.window.width() << "x" << c.window.height();
    }
    window.setVideoSize(0, 720);  // ignored
    EXPECT_EQ(window.getVideoViewRect(), QRect(0, 0, 1280, 720));
    window.resetPlayView();
    EXPECT_EQ(window.getVideoViewRect(), QRect(4000, 430, 1, 1));
}

namespace {

// The window on the screen, saved as <name>-<desktop>.png, and the window
// as it draws itself, returned for the checks. feed runs before each
// picture is taken: a level display shows its bars only in the paint that
// follows a block.
QImage SaveScreens(QWidget& w, const QString& name, const std::function<void()>& feed = {})
{
    if (!QTest::qWaitForWindowExposed(&w, kHangGuardMs))
        return QImage();
    QTest::qWait(300);
    if (feed) {
        feed();
        QCoreApplication::processEvents();
    }
    EXPECT_FALSE(SaveScreen(w, name).isNull()) << name.toStdString();
    if (feed)
        feed();
    return w.grab().toImage();
}

}  // namespace

TEST(PlayerScreens, PreviewWindowWithAPictureAndWithSoundLevels)
{
    REQUIRE_X();
    ASSERT_TRUE(DesktopAsAsked()) << "the compositing manager did not start";
    const std::string clip = RequireFixture("clip.mp4");
    if (clip.empty())
        return;
    QPlayerDlg dialog;
    dialog.move(40, 40);
    dialog.setFile(QString::fromStdString(clip), 0);
    dialog.show();
    QZOVideoShowWidget* display = dialog.player()->VideoPreviewWgt()->display();
    ASSERT_TRUE(WaitFor([&] { return display->drawState().kind != QZOVideoShowWidget::NoFrame; }));
    dialog.controlBar()->setPlayProSlider(35.0);
    // The title is drawn whole, above the video.
    EXPECT_LT(dialog.titleDrawRect().bottom(), dialog.player()->y());
    // The picture fills the video surface's middle; the bar is white.
    {
        const QImage shot = SaveScreens(dialog, QStringLiteral("player-dialog"));
        ASSERT_FALSE(shot.isNull());
        const QPoint middle = dialog.player()->geometry().center();
        EXPECT_NE(shot.pixelColor(middle * shot.devicePixelRatio()), QColor(0, 0, 0));
        EXPECT_EQ(shot.pixelColor(QPoint(4, dialog.height() - 5) * shot.devicePixelRatio()), QColor(Qt::white));
    }

    // The same window as an audio-only file shows it: the level display in
    // place of the picture.
    QBasePlayWidget* player = dialog.player();
    player->VideoPreviewWgt()->hide();
    QBaseAudioDataWidget* levels = player->AudioDataWidget();
    levels->show();
    QCoreApplication::processEvents();
    std::vector<uint16_t> samples;
    for (int i = 0; i < 800; ++i)
        samples.push_back(uint16_t(32768 + 30000 * std::sin(i / 60.0) * std::sin(i / 9.0)));
    std::vector<unsigned char> block(44 + samples.size() * 2, 0);
    const uint32_t bytes = uint32_t(samples.size() * 2), rate = 8000;
    std::memcpy(&block[24], &rate, 4);
    std::memcpy(&block[40], &bytes, 4);
    std::memcpy(&block[44], samples.data(), bytes);
    // Bars in the level display's colour rise from its bottom.
    const QImage shot = SaveScreens(dialog, QStringLiteral("player-dialog-audio"),
                                    [&] { levels->setAudioData(block.data(), 8000); });
    ASSERT_FALSE(shot.isNull());
    const QRect area = levels->geometry().translated(player->pos());
    int barPixels = 0;
    for (int x = area.left(); x < area.right(); ++x)
        barPixels += shot.pixelColor(QPoint(x, area.bottom() - 1) * shot.devicePixelRatio()) == QColor(81, 102, 192);
    EXPECT_GT(barPixels, area.width() / 2);
}

TEST(RealPlayer, RepairedFilePlaysPausesSeeksAndMovesToTheNext)
{
    if (FakePlayerInUse && FakePlayerInUse())
        GTEST_SKIP() << "the media layer's player is the test stand-in in this build";
    REQUIRE_X();
    ScratchDir dir;
    const std::string clip = RequireFixture("clip_faststart.mp4");
    if (clip.empty())
        return;
    QStringList repaired;
    std::vector<uint32_t> keys;
    for (const char* name : {"first.mp4", "second.mp4"}) {
        const std::string path = dir.Path(name);
        ASSERT_TRUE(CopyFile(clip, path));
        ASSERT_TRUE(TruncateFile(path, FileSize(path) * 6 / 10));
        QRepairObject driver(QModelIndex(), path.c_str());
        RepairRecorder rec(driver);
        ASSERT_TRUE(driver.startRepair());
        ASSERT_TRUE(rec.WaitFinished());
        ASSERT_EQ(rec.states.back(), QRepairObject::StateRepaired) << rec.events.join(", ").toStdString();
        repaired << rec.tempFile;
        keys.push_back(uint32_t(rec.key));
    }

    QPlayerDlg dialog;
    QObject::connect(&dialog, &QPlayerDlg::emitPlayNextBtn, [&](const QString& current) {
        const int at = repaired.indexOf(current);
        const int next = (at + 1) % repaired.size();
        dialog.setFile(repaired[next], keys[size_t(next)]);
        dialog.startPlay();
    });
    dialog.setFile(repaired[0], keys[0]);
    ASSERT_TRUE(dialog.isVideo());
    dialog.startPlay();
    QBasePlayWidget* player = dialog.player();
    // Asked at once: on a busy machine the short copy may play to its end
    // before the first picture reaches the screen.
    EXPECT_TRUE(player->isPlaying());
    dialog.show();
    QZOVideoShowWidget* display = player->VideoPreviewWgt()->display();
    ASSERT_TRUE(WaitFor([&] { return display->drawState().kind != QZOVideoShowWidget::NoFrame; }));
    ASSERT_TRUE(WaitFor([&] { return dialog.controlBar()->progressSlider()->value() > 0; }));

    dialog.stopPlay();
    EXPECT_FALSE(player->isPlaying());
    emit dialog.controlBar()->emitProgressChange(0.5);
    ASSERT_TRUE(WaitFor(
        [&] {
            player->playUpdataTimer();
            return std::abs(dialog.controlBar()->progressSlider()->value() - 50.0) < 10.0;
        },
        10000))
        << dialog.controlBar()->progressSlider()->value();
    EXPECT_FALSE(player->isPlaying());

    dialog.controlBar()->nextButton()->click();
    EXPECT_EQ(dialog.currentFile(), repaired[1]);
    EXPECT_TRUE(player->isPlaying());
    ASSERT_TRUE(WaitFor([&] { return dialog.controlBar()->progressSlider()->value() > 0; }));
}
