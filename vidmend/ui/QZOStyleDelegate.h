// The item delegates of the framework's item views. They paint each row in
// the framework's colours, draw a check box with the row's text in the
// check column and a thin line under each row, and draw small buttons and
// progress bars inside cells without a widget per row: one set of widgets
// serves a whole column (QDelegateControl), painted into every row at laid
// out positions and hit-tested against the mouse to drive hover and press
// states and to report clicks with the row's index.
#ifndef VIDMEND_QZOSTYLEDELEGATE_H
#define VIDMEND_QZOSTYLEDELEGATE_H

#include <QColor>
#include <QImage>
#include <QList>
#include <QMap>
#include <QModelIndex>
#include <QPoint>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyledItemDelegate>

#include <memory>
#include <vector>

class QDelegateProgressbarStyle;
class IBaseChunk;

// Paints a cell button from a four-state image strip; cell buttons show no
// text.
class QDelegateStyleWidget : public QProxyStyle {
    Q_OBJECT
public:
    QDelegateStyleWidget();
    void setButtonImage(const QImage& strip, bool nineGrid);
    void setButtonRect(const QRect& rect) { m_rect = rect; }
    bool nineGrid() const { return m_nineGrid; }
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    virtual void DrawButton(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;
    virtual void DrawBackground(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;
    virtual void DrawBottonText(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;

private:
    QImage m_strip;
    bool m_nineGrid = false;
    QRect m_rect;
};

class QZOStyleButton : public QPushButton {
    Q_OBJECT
public:
    explicit QZOStyleButton(QWidget* parent = nullptr);
    ~QZOStyleButton() override;

    bool setButtonImage(const QString& path, const QString& selectedPath, bool nineGrid);
    bool setButtonImage(const QImage& normal, const QImage& selected, bool nineGrid);
    void SetBgSelected(bool selected);
    void setBtnState(int state) { m_state = state; }
    int getBtnState() const { return m_state; }
    void setColumn(int column) { m_column = column; }
    int getColumn() const { return m_column; }
    void setShow(bool show) { m_shown = show; }
    bool isShow() const { return m_shown; }
    void setPos(const QPoint& pos) { m_pos = pos; }
    QPoint getPos() const { return m_pos; }
    void clickWidgt(const QModelIndex& index);
    QDelegateStyleWidget* buttonStyle() const { return m_style.get(); }

signals:
    void emitClickIndex(QModelIndex index);

private:
    int m_column = -1;
    std::unique_ptr<QDelegateStyleWidget> m_style;
    QImage m_normal;
    QImage m_selected;
    bool m_shown = true;
    int m_state = 0;
    QPoint m_pos;
};

class QZOStyleProgress : public QProgressBar {
    Q_OBJECT
public:
    explicit QZOStyleProgress(QWidget* parent = nullptr);
    ~QZOStyleProgress() override;
    QDelegateProgressbarStyle* progressbarStyle() const { return m_style.get(); }

private:
    std::unique_ptr<QDelegateProgressbarStyle> m_style;
};

// The widgets of one column and how they are laid out in its cells.
class QDelegateControl {
public:
    explicit QDelegateControl(int column) : m_column(column) {}

    bool addButton(QZOStyleButton* button);
    bool addProgress(QZOStyleProgress* progress);
    int column() const { return m_column; }
    const QList<QWidget*>& getDrawWidgetList() const { return m_widgets; }
    int count() const { return m_widgets.size(); }
    QWidget* widgetFromIndex(int i) const { return m_widgets.value(i); }
    void setDrawAlignment(int alignment) { m_alignment = alignment; }
    int drawAlignment() const { return m_alignment; }
    void setDrawSpacing(int spacing) { m_spacing = spacing; }
    int drawSpacing() const { return m_spacing; }
    void setDrawWidth(int width) { m_width = width; }
    int drawWidth() const { return m_width; }
    void setDrawHeight(int height) { m_height = height; }
    int drawHeight() const { return m_height; }
    int allWidgetWidth() const { return m_total; }
    void refreshAllWidgetWidth();
    void setHoverShow(bool on) { m_hoverShow = on; }
    bool hoverShow() const { return m_hoverShow; }
    void setCustomDraw(bool on) { m_customDraw = on; }
    bool customDraw() const { return m_customDraw; }

    // Where each widget goes in a cell: left, right (0x2) or centred (0x84)
    // as a group of width groupWidth; laid[i] false leaves widget i out.
    static std::vector<QRect> Layout(const QRect& cell, const std::vector<QWidget*>& widgets,
                                     const std::vector<bool>& laid, int spacing, int groupWidth, int alignment);
    // Where each of this control's widgets goes in a cell, all of them laid.
    std::vector<QRect> LayoutAll(const QRect& cell) const;

private:
    QList<QWidget*> m_widgets;
    int m_column;
    int m_alignment = 0x84;
    int m_spacing = 0;
    int m_width = 0;
    int m_height = 0;
    int m_total = 0;
    bool m_hoverShow = true;
    bool m_customDraw = false;
};

class QZOBaseStyleDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit QZOBaseStyleDelegate(QObject* parent = nullptr);
    ~QZOBaseStyleDelegate() override;

    virtual bool editorControlEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                    const QModelIndex& index);
    virtual void drawBottomLine(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    virtual void drawControl(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    virtual void DrawCheckbox(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    void setSelectedBackgroundColor(const QColor& c) { m_selectedBg = c; }
    QColor getSelectedBackgroundColor() const { return m_selectedBg; }
    void setSelectedTextColor(const QColor& c) { m_selectedText = c; }
    QColor getSelectedTextColor() const { return m_selectedText; }
    void setBottomLineColor(const QColor& c) { m_lineColor = c; }
    void setDrawBottomLine(bool on) { m_drawLine = on; }
    bool addButtonWidget(QDelegateControl* control);
    QDelegateControl* controlOf(int column) const { return m_controls.value(column, nullptr); }

    // The view calls these two by name.
    Q_INVOKABLE void setHoverRow(int row);
    int hoverRow() const { return m_hoverRow; }
    void setMouseInCtrlRect(bool in) { m_mouseInCtrl = in; }
    Q_INVOKABLE bool mouseInCtrlRect() const { return m_mouseInCtrl; }
    void setMouseState(int state) { m_mouseState = state; }
    int getMouseState() const { return m_mouseState; }
    void setMousePoint(const QPoint& p) { m_mousePoint = p; }
    QPoint getMousePoint() const { return m_mousePoint; }
    void setCheckInColumn(int column) { m_checkColumn = column; }
    void setCheckboxEnable(bool on) { m_checkEnabled = on; }
    bool checkboxEnable() const { return m_checkEnabled; }
    void setCheckboxImage(const QString& unchecked, const QString& partially, const QString& checked);
    const QImage* unCheckedImage() const { return m_boxImages[0].get(); }
    const QImage* partiallyImage() const { return m_boxImages[1].get(); }
    const QImage* checkedImage() const { return m_boxImages[2].get(); }
    void setCheckboxOffest(int all) { setCheckboxOffest(all, all, all, all); }
    void setCheckboxOffest(int left, int top, int right, int bottom);
    void getCheckboxOffest(int& left, int& top, int& right, int& bottom) const;
    void setCheckboxPos(const QPoint& p) { m_boxPos = p; }
    QPoint checkboxPos() const { return m_boxPos; }
    int checkboxWidth() const { return m_boxWidth; }
    int checkboxHeight() const { return m_boxHeight; }
    void setCheckTextSpacing(int spacing) { m_checkTextSpacing = spacing; }

signals:
    void clickWidgt(QModelIndex index);
    void emitCheckStateChange(QModelIndex index, int state);

protected:
    static IBaseChunk* RowOf(const QModelIndex& index);
    // The drawn box in the cell.
    QRect CheckboxRect(const QRect& cell) const;
    void DrawButtonWidget(QPainter* painter, const QStyleOptionViewItem& option, QZOStyleButton* button,
                          const QRect& rect, bool enabled) const;
    // What editorControlEvent does for a pointer inside a shown button.
    void ButtonEvent(QEvent* event, QZOStyleButton* button, const QModelIndex& index, bool buttonEnabled,
                     const QString& tooltip);

    QMap<int, QDelegateControl*> m_controls;
    QColor m_selectedBg{254, 202, 113};
    QColor m_selectedText{38, 38, 38};
    QColor m_lineColor{28, 28, 28};
    int m_hoverRow = -1;
    bool m_drawLine = true;
    QPoint m_mousePoint{0, 0};
    bool m_mouseInCtrl = false;
    int m_mouseState = 0;
    bool m_checkEnabled = true;
    int m_checkColumn = -1;
    std::unique_ptr<QImage> m_boxImages[3];
    int m_boxWidth = 0;
    int m_boxHeight = 0;
    int m_hit[4] = {0, 0, 0, 0};
    QPoint m_boxPos{5, -1};
    int m_checkTextSpacing = 5;
};

class QZOControlStyleDelegate : public QZOBaseStyleDelegate {
    Q_OBJECT
public:
    explicit QZOControlStyleDelegate(QObject* parent = nullptr);

    bool editorControlEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                            const QModelIndex& index) override;
    void drawControl(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The widgets of the row that take part in its cell, with their
    // rectangles; a hover-only widget is laid out on the hover row only.
    struct Placed {
        QWidget* widget;
        QRect rect;
    };
    std::vector<Placed> PlacedWidgets(const QRect& cell, const QModelIndex& index) const;
};

#endif
