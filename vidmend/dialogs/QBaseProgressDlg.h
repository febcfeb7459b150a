// The modal dialog that shows a save's progress: one line of text, a bar
// with its percentage and a Cancel button. It does not act on Cancel: it
// emits emitClickCancel and its owner decides.
#ifndef VIDMEND_QBASEPROGRESSDLG_H
#define VIDMEND_QBASEPROGRESSDLG_H

#include "QZOStandardDialog.h"

class QLabel;
class QZOBaseButton;
class QZOBaseSlider;

class QBaseProgressDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit QBaseProgressDlg(const QString& title, QWidget* parent = nullptr);
    ~QBaseProgressDlg() override;

    QString getText() const { return m_text; }
    double getValue() const { return m_value; }

    // Ends the modal run (when one is running) and deletes the dialog once
    // control is back in the event loop. Owners call this, never delete,
    // from a handler of emitClickCancel: the button that emitted it is
    // still on the stack.
    void finishLater();

    QLabel* textLabel() const { return m_textLabel; }
    QLabel* percentLabel() const { return m_percentLabel; }
    QZOBaseSlider* bar() const { return m_bar; }
    QZOBaseButton* cancelButton() const { return m_cancel; }

signals:
    void emitClickCancel();

public slots:
    void setText(const QString& strInfo);
    void setValue(double value);

protected:
    void InitDlg();
    void InitCtrl();
    void SetLayout();

private:
    QString m_text;
    double m_value = 0;
    QLabel* m_textLabel = nullptr;
    QLabel* m_percentLabel = nullptr;
    QZOBaseSlider* m_bar = nullptr;
    QZOBaseButton* m_cancel = nullptr;
};

#endif
