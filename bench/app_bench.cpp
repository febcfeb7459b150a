// The application's figures that a busy machine stretches, so its tests
// count work instead of timing it: how long the window's event loop stalls
// while fifty files are added and repaired, how long the media probe takes
// on hostile paths, and how long damaged clips take to open in the player
// and to play to their end. Each figure is printed with its target. A
// program to run by hand, not a test.
//
//   vidmend_app_bench      (on Qt's offscreen platform unless QT_QPA_PLATFORM is set)
//
// Home and temporary folders point into a scratch folder, with Qt's
// standard-paths test mode on, so the run leaves the user's settings alone.
// The clips are made there by ffmpeg and removed at the end.
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AppTestEnv.h"
#include "BoxAnswers.h"
#include "MediaCore.h"
#include "MediaPlayer.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "support/Damage.h"

using namespace mendtest;

namespace {

using Clock = std::chrono::steady_clock;

// Beyond this a run counts as hung and the bench goes on.
constexpr int kHangSeconds = 120;

std::string g_root;
int g_missed = 0;

std::string Path(const std::string& name)
{
    return g_root + "/" + name;
}

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const char* Verdict(bool met)
{
    if (!met)
        ++g_missed;
    return met ? "ok" : "MISSED";
}

bool Ffmpeg(const std::string& args, const std::string& name)
{
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -nostdin -y " + args + " '" + Path(name) + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 && FileSize(Path(name)) > 0;
}

// 4 s clips as the player's tests make them: H.264 with B-frames and a key
// frame every 2 s plus AAC, the same with its index in front, and FFV1 4:4:4
// at an odd size without sound; and a 2 s tone.
bool MakeClips()
{
    const std::string video = "-f lavfi -i testsrc2=s=320x240:r=25:d=4 ";
    const std::string sound = "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=4 ";
    const std::string h264 = "-c:v libx264 -preset fast -g 50 -bf 2 -crf 18 -pix_fmt yuv420p -c:a aac ";
    return Ffmpeg(video + sound + h264 + "-f mp4", "av.mp4") &&
           Ffmpeg(video + sound + h264 + "-movflags +faststart -f mp4", "faststart.mp4") &&
           Ffmpeg("-f lavfi -i testsrc2=s=161x121:r=25:d=4,format=yuv444p,setsar=2 -c:v ffv1 -f matroska",
                  "video.mkv") &&
           Ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 -c:a pcm_s16le -f wav", "tone.wav");
}

// 1. Fifty files (45 tones, 5 MP4s cut at 60 % so that copies are written)
// added to the file list page and repaired with two tasks, while a 10 ms
// timer on the GUI thread notes the longest gap between its ticks.
void WindowStaysResponsive()
{
    std::filesystem::create_directories(Path("list"));
    QStringList paths;
    for (int i = 0; i < 45; ++i) {
        const std::string to = Path("list/tone-" + std::to_string(i) + ".wav");
        CopyFile(Path("tone.wav"), to);
        paths << QString::fromStdString(to);
    }
    for (int i = 0; i < 5; ++i) {
        const std::string to = Path("list/cut-" + std::to_string(i) + ".mp4");
        CopyFile(Path("faststart.mp4"), to);
        TruncateFile(to, FileSize(to) * 6 / 10);
        paths << QString::fromStdString(to);
    }
    QProjectSetting::setTaskNumToXML(2, false);

    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 400);
    page.show();
    QElapsedTimer clock;
    qint64 last = 0, worst = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        worst = std::max(worst, now - last);
        last = now;
    });
    clock.start();
    tick.start(10);
    page.AddFilesToModel(paths);
    const bool added = WaitFor([&] { return !page.isAdding(); }, kHangSeconds * 1000);
    // The page offers to save once the run is over.
    bool saveMode = false;
    QObject::connect(&page, &QFileInfoWgt::emitSaveBtns, [&] { saveMode = true; });
    if (added)
        page.startRepair();
    const bool done = added && WaitFor([&] { return saveMode; }, kHangSeconds * 1000);
    tick.stop();
    const double seconds = clock.elapsed() / 1000.0;

    int undamaged = 0, completed = 0;
    for (IBaseChunk* row : page.rows()) {
        undamaged += static_cast<QFileInfoChunk*>(row)->GetStatus() == FileUndamaged;
        completed += static_cast<QFileInfoChunk*>(row)->GetStatus() == FileCompleted;
    }
    std::printf("\nfile list: 50 files (45 WAV, 5 cut MP4) added and repaired with 2 tasks, a 10 ms timer on the "
                "GUI thread\n");
    std::printf("%-40s %9s %9s  %s\n", "case", "ms", "target", "result");
    std::printf("%-40s %9lld %9s  %s\n", "longest gap between timer ticks", (long long)worst, "< 100",
                done ? Verdict(worst < 100) : Verdict(false));
    std::printf("(run %s in %.1f s: %zu rows, %d undamaged, %d repaired; expected 50, 45, 5)\n",
                done ? "ended" : "HUNG", seconds, page.rows().size(), undamaged, completed);
}

// 2. The probe of paths that are no media or no file at all.
void ProbeEnds()
{
    WriteFileBytes(Path("garbage.mp4"), PseudoRandomBytes(8 << 20, 99));
    // A transport stream's sync bytes in front of garbage keep a demuxer busy.
    std::vector<uint8_t> fakeTs = PseudoRandomBytes(8 << 20, 5);
    for (size_t i = 0; i < fakeTs.size(); i += 188)
        fakeTs[i] = 0x47;
    WriteFileBytes(Path("garbage.ts"), fakeTs);
    // Nobody ever writes to this pipe.
    mkfifo(Path("pipe.mp4").c_str(), 0600);
    std::filesystem::create_directories(Path("folder"));

    // The probe gives up at a deadline of its own (MediaProbe.cpp) whatever
    // the demuxer does; the target leaves room above that deadline.
    std::printf("\nmedia probe (mediaOpenInfo)\n");
    std::printf("%-40s %9s %9s  %s\n", "case", "seconds", "target", "result");
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"garbage.mp4, 8 MiB random", Path("garbage.mp4")},
        {"garbage.ts, 8 MiB random, 0x47 / 188", Path("garbage.ts")},
        {"FIFO", Path("pipe.mp4")},
        {"missing path", Path("missing.avi")},
        {"folder", Path("folder")},
    };
    for (const auto& c : cases) {
        MediaInfo* info = mediaCreateInfo(-1);
        const auto start = Clock::now();
        mediaOpenInfo(info, c.second.c_str());
        const double seconds = Since(start);
        mediaReleaseInfo(info);
        std::printf("%-40s %9.2f %9s  %s\n", c.first, seconds, "< 12", Verdict(seconds < 12));
    }
}

// 3. Damaged clips opened as the preview opens them (a stream released
// right after the open); those that open are played to their end.
void DamagedClipsOpenAndPlay()
{
    struct DamageCase {
        const char* name;
        std::function<bool(const std::string&)> make;
    };
    const std::string mp4 = Path("av.mp4"), fast = Path("faststart.mp4"), mkv = Path("video.mkv");
    const std::vector<DamageCase> cases = {
        {"empty", [](const std::string& p) { return WriteFileBytes(p, {}); }},
        {"garbage", [](const std::string& p) { return WriteFileBytes(p, PseudoRandomBytes(1 << 20, 3)); }},
        // The index at the end is lost.
        {"mp4 cut", [&](const std::string& p) { return CopyFile(mp4, p) && TruncateFile(p, FileSize(p) / 2); }},
        // The index is whole, the data it points at is half gone.
        {"faststart cut", [&](const std::string& p) { return CopyFile(fast, p) && TruncateFile(p, FileSize(p) / 2); }},
        {"faststart zeroed",
         [&](const std::string& p) { return CopyFile(fast, p) && ZeroRange(p, FileSize(p) / 3, FileSize(p) / 4); }},
        {"mkv garbage inside",
         [&](const std::string& p) { return CopyFile(mkv, p) && SpliceGarbage(p, FileSize(p) / 2, 50000, 9); }},
    };
    std::printf("\nplayer: damaged clips opened, and played to their end when they open\n");
    std::printf("%-40s %9s %9s  %s\n", "case", "seconds", "target", "result");
    for (const DamageCase& c : cases) {
        const std::string path = Path(std::string("damaged-") + std::to_string(&c - cases.data()));
        if (!c.make(path)) {
            std::printf("%-40s could not be made\n", c.name);
            ++g_missed;
            continue;
        }
        const auto start = Clock::now();
        MediaStream* stream = mediaOpenStream(path.c_str(), MEDIA_STREAM_READ);
        MediaPlayer* player = mediaCreatePlayer(-1);
        const int opened = stream && mediaOpenPlayer(player, stream, 0, 0, 0, 0);
        mediaReleaseStream(stream);
        const double openSeconds = Since(start);
        std::printf("%-40s %9.2f %9s  %s\n", (std::string(c.name) + (opened ? ": open" : ": refused")).c_str(),
                    openSeconds, "< 12", Verdict(openSeconds < 12));
        if (opened) {
            const auto play = Clock::now();
            mediaPlay(player);
            while (!mediaIsAtEnd(player) && Since(play) < kHangSeconds)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const bool ended = mediaIsAtEnd(player) != 0;
            const double playSeconds = Since(play);
            std::printf("%-40s %9.2f %9s  %s\n", (std::string(c.name) + ": play to the end").c_str(), playSeconds,
                        "< 15", ended ? Verdict(playSeconds < 15) : (++g_missed, "HUNG"));
        }
        mediaReleasePlayer(player);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vidmend-app-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    g_root = pattern;
    for (const char* dir : {"home", "tmp"})
        std::filesystem::create_directories(Path(dir));
    setenv("HOME", Path("home").c_str(), 1);
    setenv("TMPDIR", Path("tmp").c_str(), 1);
    for (const char* var : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        unsetenv(var);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    QStandardPaths::setTestModeEnabled(true);

    QApplication app(argc, argv);
    // The page's debug lines would bury the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QGuiApplication::setApplicationName(QStringLiteral("vidmend-bench"));
    QProjectConfig::getProjectConfig()->setProjectName(QStringLiteral("vidmend bench"));
    mediaStartup(0);

    std::printf("making clips with ffmpeg in %s...\n", g_root.c_str());
    std::fflush(stdout);
    int result = 1;
    if (MakeClips()) {
        WindowStaysResponsive();
        ProbeEnds();
        DamagedClipsOpenAndPlay();
        std::printf("\n%s\n", g_missed ? "some targets missed" : "all targets met");
        result = g_missed ? 2 : 0;
    } else {
        std::fprintf(stderr, "ffmpeg could not make the clips\n");
    }
    QProjectConfig::releaseProjectConfig();
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
    return result;
}
