// The list's horizontal header: image background with separators and a
// pressed look, sort arrows from an image, per-column sorting switches and
// a check-all box in one section.
#ifndef VIDMEND_QCHECKHEADERVIEW_H
#define VIDMEND_QCHECKHEADERVIEW_H

#include <QColor>
#include <QHeaderView>
#include <QList>

#include <memory>

class QZOCheckBox;
class QPixmap;

class QCheckHeaderView : public QHeaderView {
    Q_OBJECT
public:
    explicit QCheckHeaderView(Qt::Orientation orientation, QWidget* parent = nullptr);
    ~QCheckHeaderView() override;

    void setCheckState(Qt::CheckState state);
    Qt::CheckState getCheckState() const;
    void setCheckVisable(bool visible);
    bool getCheckVisable() const;
    void setCheckboxEnable(bool enable);
    bool checkboxEnable() const;
    void setTristate(bool on);
    bool isTristate() const;
    // Offset of the box in its section; y -1 centres it vertically.
    void setCheckPos(int x, int y);
    void setCheckInColumn(int column);
    QZOCheckBox* checkBox() const { return m_checkBox; }
    // The check box's images: checked, unchecked, partially checked.
    void setCheckImage(const QString& checked, const QString& unchecked, const QString& partial);

    bool setBackgroundImage(const QString& path);
    bool setSlipImage(const QString& path);
    bool setSelBackgroundImage(const QString& path);
    bool setOrderFlagsImage(const QString& path);
    void setTextColor(const QColor& color) { m_textColor = color; }
    QColor getTextColor() const { return m_textColor; }
    void setOrderRightWidth(int inset) { m_orderRightWidth = inset; }
    void setSortEnable(int column, bool enable);
    bool sortEnable(int column) const;

signals:
    void checkChange(bool checkAll);

public slots:
    // A model's check summary: 1 shows partially checked on a tristate box.
    void OnStateChanged(int state);
    void OnClickCheckBox();

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Moves the box over its section; run on geometry changes, never while painting.
    void placeCheckBox();

    std::unique_ptr<QPixmap> m_background;
    std::unique_ptr<QPixmap> m_separator;
    std::unique_ptr<QPixmap> m_pressedBackground;
    std::unique_ptr<QPixmap> m_arrow;
    std::unique_ptr<QPixmap> m_arrowMirrored;
    QColor m_textColor{0, 0, 0};
    QZOCheckBox* m_checkBox = nullptr;
    int m_checkX = 5;
    int m_checkY = -1;
    int m_checkColumn = 0;
    int m_pressedSection = -1;
    QList<int> m_sortDisabled;
    int m_orderRightWidth = 3;
};

#endif
