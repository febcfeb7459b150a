// The framework's drop-down list. It keeps a Qt combo box's behaviour and
// draws its face through the rectangle drawing base: a background image,
// the current text in four state colours and an optional image button that
// opens the list. Once it has a background image it is custom drawn: each
// row of its popup is a QZOComboBoxItem widget that paints its own state,
// spacing bands, separator, text and icon. Popup colours and sizes go both
// to the row widgets and, as fragments of one kept style sheet, to the box.
#ifndef VIDMEND_QZOCOMBOBOX_H
#define VIDMEND_QZOCOMBOBOX_H

#include <QColor>
#include <QComboBox>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QVariant>
#include <QWidget>

#include <memory>

#include "QZOBaseRectImageDraw.h"

class QListWidget;
class QListWidgetItem;
class QZOBaseButton;

// The look of one popup row; copied into every row widget.
struct QComboBoxItemAttribute {
    QColor bgColor{255, 255, 255};
    QColor hoverColor{229, 243, 255};
    QColor selectedColor{205, 232, 255};
    int spacing = 0;
    QColor spacingColor{Qt::black};
    int alignment = 129;  // left, vertically centred
    bool markCurrent = false;
    QPoint widgetPos{-1, -1};
    QColor separatorColor{Qt::black};
};

class QZOComboBoxItem : public QWidget, public QZOBaseRectImageDraw {
    Q_OBJECT
public:
    QZOComboBoxItem(QWidget* parent, QListWidgetItem* item);

    void setItemAttribute(const QComboBoxItemAttribute& attribute);
    const QComboBoxItemAttribute& itemAttribute() const { return m_attribute; }
    void setWidgtPos(const QPoint& pos) { m_attribute.widgetPos = pos; }
    void setWidgt(QWidget* widget) { m_widget = widget; }
    QWidget* getWidgt() const { return m_widget; }
    int index() const;
    void setSeparatorHeight(int height) { m_separatorHeight = height; }
    int separatorHeight() const { return m_separatorHeight; }
    int calcItemWidth(const QString& text, const QFont& font) const;
    bool isHovered() const { return m_hover; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QListWidgetItem* m_item;
    QComboBoxItemAttribute m_attribute;
    bool m_hover = false;
    QWidget* m_widget = nullptr;
    int m_separatorHeight = 0;
};

class QZOComboBox : public QComboBox, public QZOBaseRectImageDraw {
    Q_OBJECT
public:
    explicit QZOComboBox(QWidget* parent = nullptr);
    ~QZOComboBox() override;

    virtual void AddItemWidget(QZOComboBoxItem* item, int index);
    virtual void removeItemWidgt(QZOComboBoxItem* item);
    virtual void setShowText(const QString& text);

    void InitMacStyle();
    void setTextColor(const QColor& color);
    void setTextColor(const QColor& normal, const QColor& hover, const QColor& pressed, const QColor& disabled);
    bool setBackgroundImage(const QString& path);
    void setButtonImage(const QString& path, bool keepSize);
    void setButtonKeepSize(bool keep);
    bool buttonKeepSize() const;
    void setBtnMargins(int left, int top, int right, int bottom);
    void setBtnMargins(const QMargins& margins);
    QZOBaseButton* dropDownButton() const;

    void addItem(const QString& text, const QVariant& userData = QVariant());
    void addItem(QImage* image, const QString& text, const QVariant& userData = QVariant());
    void insertItem(int index, QImage* image, const QString& text, const QVariant& userData = QVariant());
    void insertItem(int index, const QString& text, const QVariant& userData = QVariant());
    void addItems(const QStringList& texts);
    void insertItems(int index, const QStringList& texts);
    void removeItem(int index);
    void setItemText(int index, const QString& text);
    void setEditable(bool editable);

    void setFont(const QFont& font);
    void setItemFont(const QFont& font);
    void setItemTextColor(const QColor& normal, const QColor& hover, const QColor& pressed, const QColor& disabled);
    void setItemTextColor(const QColor& color);
    void setItemTextMargins(int left, int top, int right, int bottom);
    void setItemIconRect(const QRect& rect);
    void setItemHeight(int height);
    int itemHeight() const;
    void setItemWidth(int width);
    int itemWidth() const;
    void setItemBgColor(const QColor& color);
    void setItemHoverColor(const QColor& color);
    QColor itemHoverColor() const;
    void setItemSelectedColor(const QColor& color);
    void setItemBorder(int width, const QColor& color);
    void setItemSpacing(int spacing, const QColor& color);
    void setItemAlignment(int alignment);
    void setSeparatorColor(const QColor& color);
    void addSeparator();
    void setItemSeparator(int index, bool on);
    void setItemWidgtPos(const QPoint& pos);
    QPoint itemWidgtPos() const;
    QWidget* getItemWidgt(int index) const;
    bool IsValid(int index) const;
    void setPopupOffestPoint(const QPoint& offset);
    static bool cutStyleString(QString& sheet, const QString& start, const QString& end);
    int calcItemMaxWidth() const;
    // The popup list, null until the box is custom drawn.
    QListWidget* popupList() const;
    QString keptStyleSheet() const;

signals:
    void emitShowPopup();
    void emitClicked();

public slots:
    void showPopup() override;
    void hidePopup() override;
    void changeEditColor(const QString& text);
    void drawTextChange(const QString& text);
    void currentIndexChangeSlot(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Private;

    void createPopupList();
    void resetBtnLocation();
    void resetItemSize();
    void applyFragment(const QString& start, const QString& end, const QString& fragment);
    void applyLineEditStyle(QWidget* edit);
    void refreshRows();
    template <typename F>
    void forEachRow(F f) const;
    bool customDrawn() const;

    std::unique_ptr<Private> d;
};

#endif
