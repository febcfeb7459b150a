#include "QZOInitStyleManager.h"

#include <QDebug>
#include <QWidget>

#include <cinttypes>

namespace {

QString commonIfEmpty(const QString& tag)
{
    return tag.isEmpty() ? QStringLiteral("Common") : tag;
}

}  // namespace

QZOInitStyleManager* QZOInitStyleManager::s_zoStyleMgr = nullptr;

void QZOBaseControlStyle::addStyle(const QString& tag, ControlStyleFun fn)
{
    if (m_styles.value(tag, nullptr))
        qWarning("QZOBaseControlStyle::addStyle: type(%d),tagName(%s) Style is exit! will cover old!", int(m_type),
                 tag.toLocal8Bit().constData());
    m_styles.insert(tag, fn);
}

QStringList QZOBaseControlStyle::printStlye(bool onlyEmpty) const
{
    QStringList lines;
    lines << QStringLiteral("ControlStyle Type:%1").arg(int(m_type));
    int index = 0;
    for (auto it = m_styles.cbegin(); it != m_styles.cend(); ++it) {
        if (onlyEmpty && it.value())
            continue;
        // A function pointer printed as a number of pointer width, not as
        // an int it would be cut to.
        const uintptr_t address = reinterpret_cast<uintptr_t>(it.value());
        lines << QString::asprintf("index(%d),tagName(%s), fun(0x%" PRIxPTR ")", index++,
                                   it.key().toLocal8Bit().constData(), address);
    }
    for (const QString& line : lines)
        qDebug().noquote() << line;
    return lines;
}

QZOInitStyleManager* QZOInitStyleManager::getInstance()
{
    if (!s_zoStyleMgr)
        s_zoStyleMgr = new QZOInitStyleManager;
    return s_zoStyleMgr;
}

void QZOInitStyleManager::releaseInstance()
{
    delete s_zoStyleMgr;
    s_zoStyleMgr = nullptr;
}

QZOInitStyleManager::~QZOInitStyleManager()
{
    releaseAll();
}

void QZOInitStyleManager::setControlStyleFun(ZO_UI::ZOControlStyleType type, ControlStyleFun fn, const QString& tag)
{
    QZOBaseControlStyle* style = controlStyle(type);
    if (!style)
        style = addControlStyle(type);
    style->addStyle(commonIfEmpty(tag), fn);
}

ControlStyleFun QZOInitStyleManager::getControlStyleFun(ZO_UI::ZOControlStyleType type, const QString& tag) const
{
    const QZOBaseControlStyle* style = controlStyle(type);
    return style ? style->styleFunction(commonIfEmpty(tag)) : nullptr;
}

QZOBaseControlStyle* QZOInitStyleManager::addControlStyle(ZO_UI::ZOControlStyleType type)
{
    removeControlStyle(type);
    auto* style = new QZOBaseControlStyle;
    style->setControlType(type);
    m_types.insert(type, style);
    return style;
}

bool QZOInitStyleManager::removeControlStyle(ZO_UI::ZOControlStyleType type)
{
    auto it = m_types.find(type);
    if (it == m_types.end())
        return false;
    delete it.value();
    m_types.erase(it);
    return true;
}

void QZOInitStyleManager::releaseAll()
{
    qDeleteAll(m_types);
    m_types.clear();
}

QStringList QZOInitStyleManager::printStlye(bool onlyEmpty) const
{
    QStringList lines;
    for (const QZOBaseControlStyle* style : m_types)
        lines << style->printStlye(onlyEmpty);
    return lines;
}

bool QZOInitStyleManager::InitStyle(QWidget* wgt, ZO_UI::ZOControlStyleType type, const QString& tag,
                                    const QString& note)
{
    if (!wgt) {
        qWarning("QZOInitStyleManager::InitStyle: wgt is empty!");
        return false;
    }
    const QString name = commonIfEmpty(tag);
    ControlStyleFun fn = getInstance()->getControlStyleFun(type, name);
    if (fn) {
        fn(wgt);
        return true;
    }
    qWarning("Warning!!!QZOInitStyleManager::InitStyle:type(%d)tagName(%s) StyleFun not configured!note(%s)", int(type),
             name.toLocal8Bit().constData(), note.toLocal8Bit().constData());
    return false;
}
