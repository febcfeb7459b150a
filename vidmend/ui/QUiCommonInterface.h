// The desktop glue the windows need beyond Qt: window origin and minimising,
// revealing a file in the file manager, clocks and sleeping, the system
// version, emptying a folder. On Linux it stands on Qt, POSIX and std.
#ifndef VIDMEND_QUICOMMONINTERFACE_H
#define VIDMEND_QUICOMMONINTERFACE_H

#include <QByteArray>
#include <QPoint>
#include <QString>
#include <QVector>

#include <cstdint>
#include <string>

class QWidget;

class ZoMacosInterface {
public:
    static QPoint getGlobalPos();
    // The window's origin with y counted upwards from the bottom of the
    // screen, as the frameless base converts it back; (0, 0) without a
    // native window.
    static QPoint getWindowPos(QWidget* widget);
    static void showMinimize(QWidget* widget);
    // No dock icon to hide on a Linux desktop.
    static void hideDock() {}
    // UTF-32 in host byte order, zero-terminated.
    static QVector<uint> ConvertCharToUtft32(const char* utf8);
};

class QUiCommonInterface {
public:
    static uint64_t getSystemTime();
    static uint64_t getDateTime();
    static void Sleep(uint64_t microseconds);
    // Asks the desktop's file manager (org.freedesktop.FileManager1) to show
    // the file selected; opens its folder when no file manager answers.
    static void showFileInFolder(const std::string& path);
    // "//" and "\\" become "/", the way showFileInFolder reveals a path.
    static QString normalisedRevealPath(const std::string& path);
    static QString SystemVersionInfo();
    // Decodes a packed-decimal version value (0x1039 is 10.3.9) into text;
    // "Unkown" for a value that is not in that form.
    static QString DecodePackedVersion(uint32_t value);
    // Deletes the folder's contents (and the folder when removeSelf). Never
    // enters a symbolic link to a folder (the link itself is removed), and an
    // entry that cannot be deleted is left and never tried again.
    static void clearFolder(const QString& path, bool removeSelf);
};

// Overlay windows and revealing files, for callers outside the windows.
class QZOCommonPlatfromApi {
public:
    // Makes the widget's window a click-through overlay above the others.
    static void setWindowsIgnoresMouse(QWidget* widget);
    static void showFileInFolder(const std::string& path) { QUiCommonInterface::showFileInFolder(path); }
};

#endif
