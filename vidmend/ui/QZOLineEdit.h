// Text inputs over a drawn background: a line edit that can accept positive
// whole numbers only and show its placeholder in a colour of its own, and a
// text edit that hosts a borderless QTextEdit inset by margins.
#ifndef VIDMEND_QZOLINEEDIT_H
#define VIDMEND_QZOLINEEDIT_H

#include <QColor>
#include <QLineEdit>
#include <QWidget>

#include "QZOBaseRectImageDraw.h"

class QTextEdit;

class QZOLineEdit : public QLineEdit, public QZOBaseRectImageDraw {
    Q_OBJECT
public:
    explicit QZOLineEdit(QWidget* parent = nullptr);

    bool setBackgroundImage(const QString& path);
    bool setBackgroundImage(const QImage& image);
    // Positive whole numbers; leading zeros are allowed, zeros alone are not.
    void onlyInputNumber();
    void setAlignment(Qt::Alignment alignment);
    void setPalette(const QPalette& palette);
    // With swap, the placeholder is shown as real text in this colour while
    // the edit is empty and unfocused.
    void setPlaceholderTextColor(const QColor& color, bool swap);
    void setPlaceholderText(const QString& text);
    QColor placeholderTextColor() const { return m_placeholderColor; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool backgroundTaken(bool taken);
    void setTextColorAll(const QColor& color);

    QColor m_placeholderColor;
    QColor m_normalTextColor;
    bool m_swap = false;
    QString m_placeholder;
};

class QZOTextEdit : public QWidget, public QZOBaseRectImageDraw {
    Q_OBJECT
public:
    explicit QZOTextEdit(QWidget* parent = nullptr);

    bool setBackgroundImage(const QString& path);
    bool setBackgroundImage(const QImage& image);
    void setEditMargins(int left, int top, int right, int bottom);
    void setEditMargins(const QMargins& margins);
    QTextEdit* textEdit() const { return m_edit; }

signals:
    void textChanged(const QString& text);

public slots:
    void textEditChange();

protected:
    void paintEvent(QPaintEvent* event) override;
    // The inner editor follows the widget's size here, never from painting.
    void resizeEvent(QResizeEvent* event) override;

private:
    bool backgroundTaken(bool taken);

    QMargins m_editMargins;
    QTextEdit* m_edit;
};

#endif
