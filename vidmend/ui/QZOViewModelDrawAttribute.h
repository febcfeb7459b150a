// Row colours, font and item size of a list view, shared by the list's
// model and its sort proxy so both paint the hover row and the alternating
// rows alike.
#ifndef VIDMEND_QZOVIEWMODELDRAWATTRIBUTE_H
#define VIDMEND_QZOVIEWMODELDRAWATTRIBUTE_H

#include <QColor>
#include <QFont>
#include <QSize>
#include <QVariant>

class QZOViewModelDrawAttribute {
public:
    QZOViewModelDrawAttribute();

    void setHoverRow(int row) { m_hoverRow = row; }
    int hoverRow() const { return m_hoverRow; }
    void setTextFont(const QFont& font) { m_textFont = font; }
    QFont textFont() const { return m_textFont; }
    void setHoverBgColor(const QColor& background, const QColor& text);
    void setItemBgColor(const QColor& a, const QColor& b);
    void setItemTextColor(const QColor& a, const QColor& b);
    void setItemDeleteTextColor(const QColor& color) { m_deleteText = color; }
    void setItemSize(const QSize& size) { m_itemSize = size; }
    QSize itemSize() const { return m_itemSize; }

protected:
    // Background: A on even rows, B on odd rows; the hover row wins.
    QVariant backgroundFor(int row) const;
    // Text: a deleted row always shows the deleted colour; then the hover
    // row; then A on odd rows and B on even rows.
    QVariant foregroundFor(int row, bool deleted) const;

private:
    int m_hoverRow = -1;
    QColor m_hoverBg{51, 51, 51};
    QColor m_hoverText{255, 255, 255};
    QColor m_bgA{35, 35, 35};
    QColor m_bgB{35, 35, 35};
    QColor m_textA{205, 196, 180};
    QColor m_textB{205, 196, 180};
    QColor m_deleteText{255, 140, 71};
    QFont m_textFont;
    QSize m_itemSize{50, 50};
};

#endif
