#include "QZOViewModelDrawAttribute.h"

#include <QBrush>

QZOViewModelDrawAttribute::QZOViewModelDrawAttribute()
{
    m_textFont.setFamily(QStringLiteral("Tahoma"));
    m_textFont.setPixelSize(12);
    m_textFont.setWeight(50);
}

void QZOViewModelDrawAttribute::setHoverBgColor(const QColor& background, const QColor& text)
{
    m_hoverBg = background;
    m_hoverText = text;
}

void QZOViewModelDrawAttribute::setItemBgColor(const QColor& a, const QColor& b)
{
    m_bgA = a;
    m_bgB = b;
}

void QZOViewModelDrawAttribute::setItemTextColor(const QColor& a, const QColor& b)
{
    m_textA = a;
    m_textB = b;
}

QVariant QZOViewModelDrawAttribute::backgroundFor(int row) const
{
    if (row == m_hoverRow) {
        return QBrush(m_hoverBg);
    }
    return QBrush(row % 2 != 0 ? m_bgB : m_bgA);
}

QVariant QZOViewModelDrawAttribute::foregroundFor(int row, bool deleted) const
{
    if (deleted) {
        return m_deleteText;
    }
    if (row == m_hoverRow) {
        return m_hoverText;
    }
    return row % 2 != 0 ? m_textA : m_textB;
}
