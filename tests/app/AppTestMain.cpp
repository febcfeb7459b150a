// Entry point of the application's tests: a Qt application on the offscreen
// platform, with home, temporary and data folders inside a scratch folder and
// Qt's standard-paths test mode on, so no test touches the user's folders.
#include <gtest/gtest.h>

#include <QGuiApplication>
#ifdef APP_TEST_WIDGETS
#include <QApplication>
using AppTestApplication = QApplication;
#else
using AppTestApplication = QGuiApplication;
#endif
#include <QStandardPaths>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "AppTestEnv.h"
#include "QProjectConfig.h"
#include "MediaCore.h"
#include "support/Fixtures.h"

namespace {

std::string g_sandbox;

}  // namespace

const std::string& AppSandbox()
{
    return g_sandbox;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    mendtest::ScratchDir sandbox("app-sandbox");
    g_sandbox = sandbox.Root();
    for (const char* dir : {"home", "tmp"})
        std::filesystem::create_directories(g_sandbox + "/" + dir);
    setenv("HOME", (g_sandbox + "/home").c_str(), 1);
    setenv("TMPDIR", (g_sandbox + "/tmp").c_str(), 1);
    for (const char* var : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DOCUMENTS_DIR",
                            "XDG_VIDEOS_DIR"})
        unsetenv(var);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QStandardPaths::setTestModeEnabled(true);

    AppTestApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("vidmend-tests"));
    QProjectConfig::getProjectConfig()->setProjectName(QString::fromUtf8(kTestProjectName));
    mediaStartup(0);
    const int result = RUN_ALL_TESTS();
    QProjectConfig::releaseProjectConfig();
    return result;
}
