// The preview player's widgets against a scripted fake of the media layer's
// player: the level display, the control bar, the player widget's transport
// and its release order, and the preview window with its neighbours.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstring>

#include "AppTestEnv.h"
#include "PageRows.h"
#include "BoxAnswers.h"
#include "FakePlayer.h"
#include "MediaCore.h"
#include "QAudioDataWidget.h"
#include "QBaseAudioDataWidget.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QPlayerDlg.h"
#include "QZOMessageBox.h"
#include "QZOStandardDialog.h"
#include "QBasePlayControl.h"
#include "QBasePlayWidget.h"
#include "QBaseVideoWindow.h"
#include "QMainWgt.h"
#include "QTheadTimer.h"
#include "QZOBaseButton.h"
#include "QZOBaseProgress.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

// A sound block as the media layer lays it out: rate at byte 24, sample
// byte count at byte 40, samples from byte 44.
std::vector<unsigned char> Block(const std::vector<uint16_t>& samples, uint32_t rate = 8000)
{
    std::vector<unsigned char> b(44 + samples.size() * 2, 0);
    const uint32_t bytes = uint32_t(samples.size() * 2);
    std::memcpy(&b[24], &rate, 4);
    std::memcpy(&b[40], &bytes, 4);
    if (!samples.empty())
        std::memcpy(&b[44], samples.data(), bytes);
    return b;
}

// The calls logged after the last "--".
std::vector<std::string> CallsSinceMark()
{
    const auto calls = FakeCalls();
    const auto mark = std::find(calls.rbegin(), calls.rend(), "--");
    return std::vector<std::string>(mark.base(), calls.end());
}

std::vector<std::string> Without(std::vector<std::string> calls, const std::vector<std::string>& noise)
{
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [&](const std::string& c) {
                                   return std::find(noise.begin(), noise.end(), c) != noise.end();
                               }),
                calls.end());
    return calls;
}

}  // namespace

// ---- level display ----

TEST(LevelDisplay, LevelsAreTheBarsMeanScaledToTheUnits)
{
    const struct {
        std::vector<uint16_t> samples;
        int bars, units;
        bool silenceCheck;
        std::vector<unsigned int> levels;
        bool silent;
    } cases[] = {
        {{65535, 65535, 0, 0}, 2, 10, false, {9, 0}, false},
        {{1000, 1005, 995, 1010}, 2, 10, true, {0, 0}, true},     // within 10 of the first: silent line
        {{1000, 1005, 995, 1010}, 2, 10, false, {0, 0}, false},   // blocks: silent only when every mean is 0
        {{0, 0, 0, 0}, 2, 10, false, {0, 0}, true},
        {{1000, 1020}, 1, 10, true, {0}, false},
        {{65535}, 3, 10, false, {9, 9, 9}, false},                // fewer samples than bars
        {{}, 3, 10, false, {0, 0, 0}, true},                      // no samples at all is silence
    };
    for (const auto& c : cases) {
        std::vector<unsigned int> levels(size_t(c.bars), 77);
        EXPECT_EQ(ZO_MEDIA_COM::TransData(c.samples.data(), int(c.samples.size()), levels.data(), c.bars, c.units,
                                          c.silenceCheck),
                  c.silent);
        EXPECT_EQ(levels, c.levels) << c.samples.size() << " samples, check " << c.silenceCheck;
    }
}

TEST(LevelDisplay, ABlockWithNoSamplesIsSilenceAndReadsNothingPastIt)
{
    // The block's 44 bytes end at a page that cannot be read.
    const long page = sysconf(_SC_PAGESIZE);
    void* map = mmap(nullptr, size_t(2 * page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(map) + page, size_t(page), PROT_NONE), 0);
    unsigned char* block = static_cast<unsigned char*>(map) + page - 44;
    std::memset(block, 0, 44);

    QBaseAudioDataWidget display;
    display.setAudioDataAttribute(QPlayerDlg::levelLook());
    display.resize(598, 200);
    display.resizeChange();
    for (const auto& mode : {1, 2}) {
        ZO_MEDIA_COM::AudioDataAttribute a = QPlayerDlg::levelLook();
        a.drawMode = mode;
        display.setAudioDataAttribute(a);
        display.resizeChange();
        EXPECT_TRUE(display.setAudioData(block, 44100)) << "mode " << mode;
        EXPECT_TRUE(std::all_of(display.levels().begin(), display.levels().end(), [](unsigned l) { return l == 0; }));
        // Painted: background and logo only.
        const QImage shot = display.grab().toImage();
        EXPECT_FALSE(shot.isNull());
    }
    munmap(map, size_t(2 * page));
}

TEST(LevelDisplay, SizeRateAndFallingPeaks)
{
    QBaseAudioDataWidget display;
    display.setAudioDataAttribute(QPlayerDlg::levelLook());
    display.resize(598, 200);
    display.resizeChange();
    EXPECT_EQ(display.barCount(), 43);
    EXPECT_EQ(display.levelCount(), 25);

    // A rate of 32000 uses half the samples: here only the loud half.
    ZO_MEDIA_COM::AudioDataAttribute one;
    one.drawMode = 1;
    one.showPeak = 1;
    one.peakFall = 1;
    display.setAudioDataAttribute(one);
    display.resize(1, 100);
    display.resizeChange();
    ASSERT_EQ(display.barCount(), 1);
    auto half = Block({65535, 65535, 65535, 65535, 0, 0, 0, 0});
    display.setAudioData(half.data(), 32000);
    EXPECT_EQ(display.levels()[0], 99u);
    display.setAudioData(nullptr, 0);
    display.setAudioData(half.data(), 8000);
    EXPECT_EQ(display.levels()[0], 49u);

    // A peak at 40 pixels falls to 39, 38, then 36 on silent blocks.
    display.setAudioData(nullptr, 0);
    auto loud = Block({uint16_t(40 * 65536 / 100 + 300)});
    display.setAudioData(loud.data(), 8000);
    ASSERT_EQ(display.peakHeights()[0], 40);
    auto quiet = Block({0});
    std::vector<int> fall;
    for (int i = 0; i < 3; ++i) {
        display.setAudioData(quiet.data(), 8000);
        fall.push_back(display.peakHeights()[0]);
    }
    EXPECT_EQ(fall, (std::vector<int>{39, 38, 36}));
    // Null clears the display and its peaks.
    EXPECT_TRUE(display.setAudioData(nullptr, 0));
    EXPECT_FALSE(display.hasData());
    EXPECT_EQ(display.peakHeights()[0], 0);
}

TEST(LevelDisplay, BarsAreDrawnFromTheBottomInTheBarColour)
{
    QBaseAudioDataWidget display;
    ZO_MEDIA_COM::AudioDataAttribute a = QPlayerDlg::levelLook();
    a.showPeak = 0;
    a.barColor = QColor(81, 102, 192);
    display.setAudioDataAttribute(a);
    display.setBackgroundColor(Qt::black);
    display.resize(28, 80);  // 2 bars, 10 units
    display.show();
    QCoreApplication::processEvents();
    auto block = Block({65535, 65535, 0, 0});
    display.setAudioData(block.data(), 8000);
    const QImage shot = display.grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 78), QColor(81, 102, 192));  // first bar, lowest unit
    EXPECT_EQ(shot.pixelColor(19, 78), QColor(Qt::black));    // second bar is silent
}

// The older level widget: its attributes come with it, its modes are 0
// blocks and 1 line, and it draws with the level display's own code.
TEST(LevelDisplay, TheOlderWidgetNumbersItsModesFromBlocks)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage logoImage(40, 20, QImage::Format_ARGB32);
    logoImage.fill(Qt::white);
    const QString logo = dir.filePath(QStringLiteral("logo.png"));
    ASSERT_TRUE(logoImage.save(logo));

    const struct {
        int mode;           // the older numbering
        int levelMode;      // what the level display draws
        int barSpacing;     // kept for blocks, none on a line
        bool nearlyFlatIsSilent;
    } cases[] = {{QAudioDataWidget::Blocks, 1, 4, false}, {QAudioDataWidget::Line, 2, 0, true}, {7, 1, 4, false}};
    for (const auto& c : cases) {
        ZO_MEDIA_COM::AudioDataAttribute a;
        a.barWidth = 10;
        a.barSpacing = 4;
        a.unitHeight = 4;
        a.unitSpacing = 4;
        a.barColor = QColor(81, 102, 192);
        a.drawMode = c.mode;
        QAudioDataWidget display(nullptr, &a);
        EXPECT_EQ(display.audioDataAttribute().drawMode, c.mode == 1 ? 1 : 0) << c.mode;
        EXPECT_EQ(display.QBaseAudioDataWidget::audioDataAttribute().drawMode, c.levelMode) << c.mode;
        EXPECT_EQ(display.audioDataAttribute().barSpacing, c.barSpacing) << c.mode;
        display.setAudioLogo(logo);
        display.setBackgroundColor(Qt::black);
        display.resize(598, 200);
        display.show();
        QCoreApplication::processEvents();
        if (c.levelMode == 1) {
            EXPECT_EQ(display.barCount(), 43);
            EXPECT_EQ(display.levelCount(), 25);
        }
        // Before any sound: the logo in the middle, at half its pixel size.
        const QImage empty = display.grab().toImage();
        EXPECT_EQ(empty.pixelColor(299, 100), QColor(Qt::white)) << c.mode;
        EXPECT_EQ(empty.pixelColor(299 + 12, 100), QColor(Qt::black)) << c.mode;
        auto flat = Block({1000, 1005, 995, 1010});
        EXPECT_EQ(display.setAudioData(flat.data(), 8000), c.nearlyFlatIsSilent) << c.mode;
        // Loud on the left, quiet on the right: bars rise at the left.
        auto block = Block({65535, 65535, 0, 0});
        display.setAudioData(block.data(), 8000);
        const QImage shot = display.grab().toImage();
        // Blocks stand on the bottom; a line runs along the loud levels' top.
        const QPoint loud = c.levelMode == 1 ? QPoint(2, 197) : QPoint(5, 3);
        EXPECT_EQ(shot.pixelColor(loud), QColor(81, 102, 192)) << c.mode;
        EXPECT_EQ(shot.pixelColor(590, 150), QColor(Qt::black)) << c.mode;
    }
    QAudioDataWidget plain;
    EXPECT_EQ(plain.audioDataAttribute().drawMode, QAudioDataWidget::Blocks);
}

// ---- control bar ----

TEST(PlayControls, TimeTextAndVolumeImages)
{
    EXPECT_EQ(QPlayerCtrl::timeText(5000000, 0), QStringLiteral("00:00:00 / 00:00:00"));
    EXPECT_EQ(QPlayerCtrl::timeText(3723500000ull, 3723500000ull), QStringLiteral("01:02:03 / 01:02:03"));
    EXPECT_EQ(QPlayerCtrl::timeText(65000000, 3723000000ull), QStringLiteral("00:01:05 / 01:02:03"));
    EXPECT_EQ(QPlayerCtrl::timeText(0, 400000ull * 3600 * 1000000), QStringLiteral("00:00:00 / 400000:00:00"));

    QPlayerCtrl bar;
    QSignalSpy volume(&bar, &QBasePlayControl::emitVolumeChange);
    const struct {
        double ratio;
        const char* image;
        quint32 sent;
    } cases[] = {{0.01, "null", 1}, {0.5, "little", 50}, {0.99, "big", 99}, {1.0, "full", 100}, {0.29, "little", 29}};
    for (const auto& c : cases) {
        bar.changeBtnVolumn(c.ratio);
        EXPECT_EQ(bar.volumeImagePath(), QStringLiteral("/image/player/btn_volume_%1.png").arg(c.image)) << c.ratio;
        ASSERT_FALSE(volume.isEmpty());
        EXPECT_EQ(volume.takeLast().at(0).value<quint32>(), c.sent) << c.ratio;
    }
}

TEST(PlayControls, MuteTogglePlayPauseAndSeekSignals)
{
    QPlayerCtrl bar;
    bar.resize(598, 60);
    bar.show();
    QSignalSpy volume(&bar, &QBasePlayControl::emitVolumeChange);
    bar.volumeSlider()->setValue(0.0);
    bar.volumeButton()->click();
    EXPECT_EQ(bar.volumeSlider()->value(), 100.0);
    bar.volumeButton()->click();
    EXPECT_EQ(bar.volumeSlider()->value(), 0.0);
    ASSERT_EQ(volume.size(), 2);
    EXPECT_EQ(volume[0].at(0).value<quint32>(), 100u);
    EXPECT_EQ(volume[1].at(0).value<quint32>(), 0u);
    EXPECT_EQ(bar.volumeImagePath(), QStringLiteral("/image/player/btn_volume_null.png"));

    EXPECT_TRUE(bar.playButton()->isVisible());
    EXPECT_FALSE(bar.pauseButton()->isVisible());
    bar.showPlayOrPause(true);
    EXPECT_FALSE(bar.playButton()->isVisible());
    EXPECT_TRUE(bar.pauseButton()->isVisible());
    EXPECT_EQ(bar.pauseButton()->pos(), bar.playButton()->pos());

    QSignalSpy play(&bar, &QBasePlayControl::emitPlay), pause(&bar, &QBasePlayControl::emitPause),
        stop(&bar, &QBasePlayControl::emitStop), begin(&bar, &QBasePlayControl::emitBeginSeekAsync),
        end(&bar, &QBasePlayControl::emitEndSeekAsync);
    bar.pauseButton()->click();
    bar.showPlayOrPause(false);
    bar.playButton()->click();
    bar.playFinished();
    emit bar.progressSlider()->sendPressEvent(nullptr);
    emit bar.progressSlider()->sendReleseEvent(nullptr);
    EXPECT_EQ(std::vector<int>({int(play.size()), int(pause.size()), int(stop.size()), int(begin.size()),
                                int(end.size())}),
              std::vector<int>({1, 1, 1, 1, 1}));

    // The player's percent moves the slider without asking for a seek.
    QSignalSpy seek(&bar, &QBasePlayControl::emitProgressChange);
    bar.setPlayProSlider(42.0);
    EXPECT_EQ(bar.progressSlider()->value(), 42.0);
    EXPECT_TRUE(seek.isEmpty());
}

TEST(PlayControls, LayoutInABar598By60)
{
    QPlayerCtrl bar;
    bar.resize(598, 60);
    bar.show();
    const QRect slider = bar.progressSlider()->geometry();
    EXPECT_EQ(slider.left(), 11);
    EXPECT_EQ(slider.right(), 598 - 12);
    EXPECT_EQ(slider.top(), 12 - slider.height() / 2);
    EXPECT_EQ(bar.timeLabel()->pos(), QPoint(20, slider.bottom() - slider.height() / 2 + 12));
    EXPECT_EQ(bar.volumeButton()->geometry().right(), slider.right() - 76);
    EXPECT_EQ(bar.volumeSlider()->x(), bar.volumeButton()->geometry().right() + 1);
    EXPECT_EQ(bar.volumeSlider()->width(), 74);
    EXPECT_EQ(bar.previousButton()->geometry().right(), bar.playButton()->x() - 33);
    EXPECT_EQ(bar.nextButton()->x(), bar.playButton()->geometry().right() + 32);
    // Everything inside the bar.
    for (QWidget* w : bar.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(bar.rect().contains(w->geometry())) << w->metaObject()->className();
}

// ---- player widget ----

class PlayWidget : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeReset();
        media = QString::fromStdString(dir.Path("plain.bin"));
        QFile f(media);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("plain media file");
    }
    void TearDown() override { FakeReset(); }

    ScratchDir dir{"player"};
    QString media;
};

TEST_F(PlayWidget, OpenPlayPauseStopAndTheBarFollowing)
{
    QPlayerCtrl bar;
    QBasePlayWidget player;
    player.setPlayControlWgt(&bar);
    player.resize(598, 367);
    player.show();
    EXPECT_EQ(player.playDuration(), 1u);
    EXPECT_FALSE(player.isHaveVideoAudio(true));

    // A keyed copy reaches the player deciphered.
    const QString keyed = QString::fromStdString(dir.Path("keyed.bin"));
    MediaStream* out = mediaOpenStream(keyed.toUtf8().constData(), MEDIA_STREAM_WRITE);
    ASSERT_NE(out, nullptr);
    mediaSetStreamKey(out, 0x1234567);
    mediaWriteStream(out, "keyed media file", 16);
    mediaReleaseStream(out);
    ASSERT_TRUE(player.setPlayFileForKey(keyed, 0x1234567, 0, 0));
    EXPECT_EQ(FakeCalls(), (std::vector<std::string>{"create", "open keyed media file", "callback set", "volume 100"}));
    EXPECT_TRUE(player.screenTick()->isActive());
    EXPECT_EQ(bar.timeLabel()->text(), QStringLiteral("00:00:00 / 00:00:10"));
    EXPECT_EQ(bar.volumeSlider()->value(), 100.0);

    player.OnPlay();
    EXPECT_TRUE(player.isPlaying());
    EXPECT_FALSE(player.screenTick()->isActive());
    EXPECT_TRUE(player.isProgressTimerActive());
    EXPECT_FALSE(player.isLevelTimerActive());  // a video file: no level display
    EXPECT_FALSE(bar.pauseButton()->isHidden());

    FakeSetPosition(FakeCurrentPlayer(), 2500000, false);
    player.playUpdataTimer();
    EXPECT_EQ(bar.progressSlider()->value(), 25.0);
    EXPECT_EQ(bar.timeLabel()->text(), QStringLiteral("00:00:02 / 00:00:10"));

    player.OnPause();
    EXPECT_FALSE(player.isPlaying());
    EXPECT_TRUE(player.screenTick()->isActive());
    EXPECT_FALSE(player.isProgressTimerActive());
    EXPECT_FALSE(bar.playButton()->isHidden());

    player.OnStop();
    EXPECT_EQ(bar.progressSlider()->value(), 0.0);
    EXPECT_EQ(bar.timeLabel()->text(), QStringLiteral("00:00:00 / 00:00:10"));
}

TEST_F(PlayWidget, EndOfMediaSeeksStepsAndARefusedPause)
{
    QPlayerCtrl bar;
    QBasePlayWidget player;
    player.setPlayControlWgt(&bar);
    ASSERT_TRUE(player.setPlayFile(media, 0, 0));
    player.OnPlay();

    // At the end: pause, then the bar's stop returns time and progress to 0.
    FakeSetPosition(FakeCurrentPlayer(), 10000000, true);
    FakeLog("--");
    player.playUpdataTimer();
    EXPECT_EQ(CallsSinceMark(), (std::vector<std::string>{"pause", "stop"}));
    EXPECT_EQ(bar.progressSlider()->value(), 0.0);

    // Seeking after the end stops first; the ratio is of the duration.
    FakeSetPosition(FakeCurrentPlayer(), 10000000, true);
    FakeLog("--");
    emit bar.emitProgressChange(0.5);
    emit bar.emitProgressChange(1.5);  // never past the end
    emit bar.emitBeginSeekAsync();
    emit bar.emitEndSeekAsync();
    emit bar.emitFrameStepUp();
    emit bar.emitFrameStepDown();
    emit bar.emitVolumeChange(30);
    emit bar.emitRendererVolumeChange(70);
    EXPECT_EQ(CallsSinceMark(), (std::vector<std::string>{"stop", "seek 5000000", "seek 10000000", "begin-seek 2000000", "end-seek",
                                        "pause", "step +1", "pause", "step -1", "volume 30", "renderer 70"}));
    EXPECT_EQ(player.volume(), 30u);

    // A pause the library refuses changes only the button.
    FakeNextMedia().pauseAccepted = false;
    QBasePlayWidget refusing;
    ASSERT_TRUE(refusing.setPlayFile(media, 0, 0));
    refusing.OnPlay();
    refusing.OnPause();
    EXPECT_TRUE(refusing.isProgressTimerActive());
    EXPECT_FALSE(refusing.screenTick()->isActive());
}

TEST_F(PlayWidget, AudioOnlyShowsTheLevelDisplayAndFeedsIt)
{
    const struct {
        bool video, audio;
        bool levelShown, videoShown;
    } cases[] = {{true, true, false, true}, {false, true, true, false}, {false, false, false, true}};
    for (const auto& c : cases) {
        FakeReset();
        FakeNextMedia().video = c.video;
        FakeNextMedia().audio = c.audio;
        FakeNextMedia().samples = {65535, 65535, 65535, 65535};
        QBasePlayWidget player;
        player.AudioDataWidget()->setAudioDataAttribute(QPlayerDlg::levelLook());
        player.resize(598, 367);
        player.show();
        ASSERT_TRUE(player.setPlayFile(media, 0, 0));
        EXPECT_EQ(player.AudioDataWidget()->isVisible(), c.levelShown) << c.video << c.audio;
        EXPECT_EQ(player.VideoPreviewWgt()->isVisible(), c.videoShown) << c.video << c.audio;
        EXPECT_EQ(player.AudioDataWidget()->geometry(), QRect(20, 30, 558, 307));
        EXPECT_EQ(player.VideoPreviewWgt()->geometry(), QRect(10, 10, 578, 347));
        if (!c.levelShown)
            continue;
        player.OnPlay();
        EXPECT_TRUE(player.isLevelTimerActive());
        player.updataAudioDataTime();
        EXPECT_TRUE(player.AudioDataWidget()->hasData());
        EXPECT_EQ(player.AudioDataWidget()->levels()[0], 37u);  // 2 of the samples at 22050 / 2
        EXPECT_EQ(FakeCalls().back(), "release-block");
        player.OnPause();
        EXPECT_FALSE(player.isLevelTimerActive());
        EXPECT_FALSE(player.AudioDataWidget()->hasData());
    }
}

TEST_F(PlayWidget, FailedOpenLeavesNoPlayer)
{
    QBasePlayWidget player;
    ASSERT_TRUE(player.setPlayFile(media, 0, 0));
    FakeNextMedia().opens = false;
    EXPECT_FALSE(player.setPlayFile(media, 0, 0));
    EXPECT_FALSE(player.setPlayFile(QString::fromStdString(dir.Path("missing.bin")), 0, 0));
    EXPECT_EQ(player.getPlayObject(), nullptr);
    EXPECT_EQ(player.playDuration(), 1u);
    EXPECT_EQ(player.VideoPreviewWgt()->getVideoViewRect(), QRect(4000, 430, 1, 1));
    const auto calls = Without(FakeCalls(), {"callback set", "volume 100"});
    EXPECT_EQ(calls, (std::vector<std::string>{"create", "open plain media file", "stop", "release", "create",
                                               "open plain media file", "release"}));
    // No transport call reaches a player that holds nothing.
    const size_t before = FakeCalls().size();
    player.OnPlay();
    player.progressValueChange(0.5);
    player.frameStepUp();
    EXPECT_EQ(FakeCalls().size(), before);
}

TEST_F(PlayWidget, ScreenshotSizeFollowsTheDisplayShapeAndNeverOverwrites)
{
    const struct {
        int dw, dh, w, h;
        const char* grab;
    } cases[] = {{853, 480, 720, 480, "grab 854x480"}, {640, 480, 720, 480, "grab 720x540"}, {0, 0, 720, 480, "grab 0x0"}};
    for (const auto& c : cases) {
        FakeReset();
        FakeNextMedia().displayWidth = c.dw;
        FakeNextMedia().displayHeight = c.dh;
        FakeNextMedia().width = c.w;
        FakeNextMedia().height = c.h;
        QBasePlayWidget player;
        EXPECT_FALSE(player.screenShots(QString::fromStdString(dir.Path("none.png"))));
        ASSERT_TRUE(player.setPlayFile(media, 0, 0));
        const QString shot = QString::fromStdString(dir.Path(std::string("shot") + std::to_string(c.dw) + ".png"));
        EXPECT_TRUE(player.screenShots(shot));
        EXPECT_FALSE(QImage(shot).isNull());
        const auto calls = FakeCalls();
        EXPECT_NE(std::find(calls.begin(), calls.end(), c.grab), calls.end()) << c.grab;
        // A second shot onto the same file fails and leaves it as it was.
        const QByteArray before = [&] { QFile f(shot); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        EXPECT_FALSE(player.screenShots(shot));
        QFile after(shot);
        ASSERT_TRUE(after.open(QIODevice::ReadOnly));
        EXPECT_EQ(after.readAll(), before);
        EXPECT_EQ(FakeCalls().back(), "release-image");
    }
}

TEST_F(PlayWidget, ThePlayerIsReleasedBeforeTheSurfacesGo)
{
    auto* player = new QBasePlayWidget;
    player->resize(300, 200);
    player->show();
    ASSERT_TRUE(player->setPlayFile(media, 0, 0));
    player->OnPlay();
    QObject::connect(player->VideoPreviewWgt(), &QObject::destroyed, [] { FakeLog("surface gone"); });
    QObject::connect(player->AudioDataWidget(), &QObject::destroyed, [] { FakeLog("levels gone"); });
    QTheadTimer* tick = player->screenTick();
    tick->startTimer(5);
    QObject::connect(tick, &QObject::destroyed, [] { FakeLog("tick gone"); });
    delete player;
    const auto calls = FakeCalls();
    const auto at = [&](const char* what) { return std::find(calls.begin(), calls.end(), what) - calls.begin(); };
    ASSERT_LT(at("release"), std::ptrdiff_t(calls.size()));
    EXPECT_LT(at("tick gone"), at("release"));
    EXPECT_LT(at("stop"), at("release"));
    EXPECT_LT(at("release"), at("surface gone"));
    EXPECT_LT(at("release"), at("levels gone"));
}

TEST(TickThread, TicksUntilStoppedAndRestarts)
{
    QTheadTimer tick;
    int ticks = 0;
    QObject::connect(&tick, &QTheadTimer::emitTimerUpdata, [&] { ++ticks; });
    EXPECT_FALSE(tick.isActive());
    EXPECT_TRUE(tick.startTimer(0));  // 1 ms
    EXPECT_TRUE(tick.isActive());
    EXPECT_TRUE(WaitFor([&] { return ticks >= 3; }));
    EXPECT_TRUE(tick.stopTimer());
    EXPECT_FALSE(tick.isActive());
    EXPECT_TRUE(tick.isFinished());
    QCoreApplication::processEvents();
    const int stopped = ticks;
    QThread::msleep(30);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, stopped);
    tick.startTimer(2);
    EXPECT_TRUE(WaitFor([&] { return ticks > stopped; }));
}

// ---- preview window ----

TEST_F(PlayWidget, PreviewWindowLayoutFileAndNeighbours)
{
    QPlayerDlg dialog;
    dialog.resize(600, 450);
    dialog.show();
    EXPECT_EQ(dialog.player()->geometry(), QRect(1, 22, 598, 367));
    EXPECT_EQ(dialog.controlBar()->geometry(), QRect(1, 389, 598, 60));
    EXPECT_EQ(dialog.minimumSize(), QSize(600, 450));
    EXPECT_EQ(dialog.getDlgTitle(), QString::fromUtf8(kTestProjectName));
    // The title is drawn whole in the band above the video.
    const QRect title = dialog.titleDrawRect();
    EXPECT_LT(title.bottom(), dialog.player()->geometry().top());
    EXPECT_GE(title.top(), 0);
    EXPECT_GE(title.height(), QFontMetrics(dialog.font()).height());

    QSignalSpy next(&dialog, &QPlayerDlg::emitPlayNextBtn), previous(&dialog, &QPlayerDlg::emitPlayPreBtn);
    dialog.setFile(media, 0);
    dialog.setFile(QString(), 0);  // ignored
    EXPECT_EQ(dialog.currentFile(), media);
    EXPECT_TRUE(dialog.isVideo());
    dialog.startPlay();
    EXPECT_TRUE(dialog.player()->isPlaying());
    dialog.controlBar()->nextButton()->click();
    dialog.controlBar()->previousButton()->click();
    ASSERT_EQ(next.size(), 1);
    ASSERT_EQ(previous.size(), 1);
    EXPECT_EQ(next[0].at(0).toString(), media);
    EXPECT_EQ(previous[0].at(0).toString(), media);
    dialog.stopPlay();
    EXPECT_FALSE(dialog.player()->isPlaying());
    EXPECT_NE(dialog.player()->getPlayObject(), nullptr);  // paused, still open

    // A file the player cannot open leaves the window empty, the file current.
    FakeNextMedia().opens = false;
    dialog.setFile(QString::fromStdString(dir.Path("missing.bin")), 0);
    EXPECT_EQ(dialog.currentFile(), QString::fromStdString(dir.Path("missing.bin")));
    EXPECT_FALSE(dialog.isVideo());
}

// ---- the preview window on the file list ----

TEST(PreviewOnThePage, PlaysModallyThenStepsRoundTheRepairedFiles)
{
    const std::string mp4 = RequireFixture("clip_faststart.mp4");
    const std::string avi = RequireFixture("clip.avi");
    if (mp4.empty() || avi.empty())
        return;
    FakeReset();
    // The end of the run's report box answers itself.
    BoxAnswers boxes;
    ScratchDir dir("preview");
    QStringList inputs;
    for (const char* name : {"one.mp4", "two.mp4"}) {
        const std::string p = dir.Path(name);
        ASSERT_TRUE(CopyFile(mp4, p));
        ASSERT_TRUE(TruncateFile(p, FileSize(p) * 6 / 10));
        inputs << QString::fromStdString(p);
    }
    ASSERT_TRUE(CopyFile(avi, dir.Path("intact.avi")));
    inputs << QString::fromStdString(dir.Path("intact.avi"));
    QFileInfoWgt page;
    page.resize(720, 400);
    page.AddFilesToModel(inputs);
    ASSERT_TRUE(WaitFor([&] { return !page.isAdding(); }));
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    page.startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    QFileInfoChunk* one = RowTitled(page, "one.mp4");
    QFileInfoChunk* two = RowTitled(page, "two.mp4");
    QFileInfoChunk* intact = RowTitled(page, "intact.avi");
    ASSERT_TRUE(one && two && intact);
    ASSERT_EQ(one->GetStatus(), FileCompleted);

    QPlayerDlg* dialog = QMainWgt::attachPlayer(&page);
    ASSERT_EQ(dialog->parent(), &page);
    // Played from the list: the window runs modally, and is paused with
    // the file still open once it closes.
    QTimer::singleShot(200, dialog, [dialog] {
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(dialog->player()->isPlaying());
        dialog->closeButton()->click();
    });
    QMetaObject::invokeMethod(&page, "OnBtnPlay", Q_ARG(QModelIndex, page.sortModel()->index(0, 0)));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->currentFile(), one->GetTempFilePath());
    EXPECT_FALSE(dialog->player()->isPlaying());
    EXPECT_NE(dialog->player()->getPlayObject(), nullptr);

    // Open: next and previous play the neighbouring rows in the open window,
    // wrapping round; each repaired copy reaches the player deciphered.
    dialog->show();
    const struct {
        bool next;
        QFileInfoChunk* row;
    } steps[] = {{true, two}, {true, intact}, {true, one}, {false, intact}, {false, two}};
    for (const auto& s : steps) {
        FakeLog("--");
        (s.next ? dialog->controlBar()->nextButton() : dialog->controlBar()->previousButton())->click();
        EXPECT_EQ(dialog->currentFile(), s.row->GetTempFilePath()) << s.row->GetTitle();
        EXPECT_TRUE(dialog->player()->isPlaying());
        const auto calls = CallsSinceMark();
        const bool deciphered = std::any_of(calls.begin(), calls.end(), [&](const std::string& c) {
            return c.rfind("open ", 0) == 0 && c.find(s.row == intact ? "RIFF" : "ftyp") != std::string::npos;
        });
        EXPECT_TRUE(deciphered) << s.row->GetTitle();
    }
}
