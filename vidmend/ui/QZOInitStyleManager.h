// The style registry: the application registers plain style functions by
// control type and tag, and framework windows and controls ask it to style
// them. It also holds the project palette.
#ifndef VIDMEND_QZOINITSTYLEMANAGER_H
#define VIDMEND_QZOINITSTYLEMANAGER_H

#include <QColor>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>

class QWidget;

typedef void (*ControlStyleFun)(void* widget);

namespace ZO_UI {
enum ZOControlStyleType : int32_t {
    ZOPushButtonStyle = 2,
    ZOLineEditStyle = 12,
    ZODialogStyle = 23,
};
}

struct QZOProjectPalette {
    QColor textColor{0, 0, 0};
    QColor secondColor{0, 0, 0};
    QColor thirdColor{0, 0, 0};
    QColor linkColor{0, 0, 255};
};

class QZOBaseControlStyle : public QObject {
    Q_OBJECT
public:
    explicit QZOBaseControlStyle(QObject* parent = nullptr) : QObject(parent) {}
    void setControlType(ZO_UI::ZOControlStyleType type) { m_type = type; }
    ZO_UI::ZOControlStyleType getControlType() const { return m_type; }
    void addStyle(const QString& tag, ControlStyleFun fn);
    ControlStyleFun styleFunction(const QString& tag) const { return m_styles.value(tag, nullptr); }
    bool removeStyle(const QString& tag) { return m_styles.remove(tag) > 0; }
    // Debug listing; with onlyEmpty, only the tags whose function is null.
    // Returns the lines it logged.
    QStringList printStlye(bool onlyEmpty) const;

private:
    ZO_UI::ZOControlStyleType m_type = ZO_UI::ZOControlStyleType(0);
    QMap<QString, ControlStyleFun> m_styles;
};

class QZOInitStyleManager : public QObject {
    Q_OBJECT
public:
    static QZOInitStyleManager* getInstance();
    static void releaseInstance();

    void setControlStyleFun(ZO_UI::ZOControlStyleType type, ControlStyleFun fn, const QString& tag);
    ControlStyleFun getControlStyleFun(ZO_UI::ZOControlStyleType type, const QString& tag) const;
    QZOBaseControlStyle* controlStyle(ZO_UI::ZOControlStyleType type) const { return m_types.value(type, nullptr); }
    QZOBaseControlStyle* addControlStyle(ZO_UI::ZOControlStyleType type);
    bool removeControlStyle(ZO_UI::ZOControlStyleType type);
    void releaseAll();
    QZOProjectPalette projectPalette() const { return m_palette; }
    void setProjectPalette(const QZOProjectPalette& palette) { m_palette = palette; }
    QStringList printStlye(bool onlyEmpty) const;

    static bool InitStyle(QWidget* wgt, ZO_UI::ZOControlStyleType type, const QString& tag, const QString& note);

private:
    QZOInitStyleManager() = default;
    ~QZOInitStyleManager() override;

    QMap<int32_t, QZOBaseControlStyle*> m_types;
    QZOProjectPalette m_palette;
    static QZOInitStyleManager* s_zoStyleMgr;
};

#endif
