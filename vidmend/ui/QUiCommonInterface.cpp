#include "QUiCommonInterface.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSysInfo>
#include <QUrl>
#include <QWidget>
#include <QWindow>

#include <chrono>
#include <thread>
#include <vector>

QPoint ZoMacosInterface::getGlobalPos()
{
    return QCursor::pos();
}

QPoint ZoMacosInterface::getWindowPos(QWidget* widget)
{
    if (!widget || !widget->windowHandle())
        return QPoint(0, 0);
    const QWidget* window = widget->window();
    QScreen* screen = window->screen();
    const int screenHeight = screen ? screen->geometry().height() : 0;
    const QRect frame = window->frameGeometry();
    return QPoint(frame.x(), screenHeight - frame.y() - frame.height());
}

void ZoMacosInterface::showMinimize(QWidget* widget)
{
    if (widget)
        widget->window()->showMinimized();
}

QVector<uint> ZoMacosInterface::ConvertCharToUtft32(const char* utf8)
{
    QVector<uint> text = QString::fromUtf8(utf8 ? utf8 : "").toUcs4();
    text.append(0);
    return text;
}

uint64_t QUiCommonInterface::getSystemTime()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t QUiCommonInterface::getDateTime()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

void QUiCommonInterface::Sleep(uint64_t microseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

QString QUiCommonInterface::normalisedRevealPath(const std::string& path)
{
    QString p = QString::fromUtf8(path.c_str());
    p.replace(QStringLiteral("//"), QStringLiteral("/"));
    p.replace(QStringLiteral("\\"), QStringLiteral("/"));
    return p;
}

void QUiCommonInterface::showFileInFolder(const std::string& path)
{
    const QString file = normalisedRevealPath(path);
    const QUrl url = QUrl::fromLocalFile(file);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    if (bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(service)) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           service, QStringLiteral("ShowItems"));
        call << QStringList{url.toString()} << QString();
        if (bus.call(call, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage)
            return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file).absolutePath()));
}

QString QUiCommonInterface::DecodePackedVersion(uint32_t value)
{
    const uint32_t digits[4] = {(value >> 12) & 0xF, (value >> 8) & 0xF, (value >> 4) & 0xF, value & 0xF};
    for (uint32_t d : digits)
        if (d > 9 || value > 0xFFFF)
            return QStringLiteral("Unkown");
    return QStringLiteral("Mac OSX %1.%2.%3").arg(10 * digits[0] + digits[1]).arg(digits[2]).arg(digits[3]);
}

QString QUiCommonInterface::SystemVersionInfo()
{
    const QString name = QSysInfo::prettyProductName();
    if (name.isEmpty())
        return QStringLiteral("Unkown");
    return name + QStringLiteral(" (") + QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion() +
           QLatin1Char(')');
}

void QUiCommonInterface::clearFolder(const QString& path, bool removeSelf)
{
    const QDir::Filters filter = QDir::Dirs | QDir::Files | QDir::Readable | QDir::Writable | QDir::Hidden |
                                 QDir::NoDotAndDotDot | QDir::System;
    // A depth-first walk over an explicit stack: a folder is visited once to
    // push its entries and once more, after them, to be removed. Symbolic
    // links are removed as links and never followed, so a link to a folder
    // outside (or to an ancestor) neither empties that folder nor loops.
    struct Item {
        QString path;
        bool expanded;
    };
    std::vector<Item> stack;
    for (const QFileInfo& e : QDir(path).entryInfoList(filter, QDir::Unsorted))
        stack.push_back({e.absoluteFilePath(), false});
    while (!stack.empty()) {
        Item item = stack.back();
        const QFileInfo info(item.path);
        if (info.isSymLink() || !info.isDir()) {
            stack.pop_back();
            QFile::remove(item.path);
            continue;
        }
        if (item.expanded) {
            stack.pop_back();
            QDir().rmdir(item.path);
            continue;
        }
        stack.back().expanded = true;
        for (const QFileInfo& e : QDir(item.path).entryInfoList(filter, QDir::Unsorted))
            stack.push_back({e.absoluteFilePath(), false});
    }
    if (removeSelf)
        QDir().rmdir(path);
}

void QZOCommonPlatfromApi::setWindowsIgnoresMouse(QWidget* widget)
{
    if (!widget)
        return;
    QWidget* window = widget->window();
    window->setAttribute(Qt::WA_TransparentForMouseEvents);
    window->setWindowFlags(window->windowFlags() | Qt::WindowTransparentForInput | Qt::WindowStaysOnTopHint |
                           Qt::FramelessWindowHint);
    window->show();
    window->raise();
}
