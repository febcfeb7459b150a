// The base of the application's dialogs: a frameless, self-drawn dialog with
// drawn close, minimise and maximise buttons at its top left; and the About
// dialog.
#ifndef VIDMEND_QZOSTANDARDDIALOG_H
#define VIDMEND_QZOSTANDARDDIALOG_H

#include "QBaseDrawWidget.h"

#include <QPixmap>

#include <memory>

class QLabel;
class QZOBaseButton;

class QZOStandardDialog : public QZODialog {
    Q_OBJECT
public:
    explicit QZOStandardDialog(QWidget* parent = nullptr);
    ~QZOStandardDialog() override;

    virtual void addCloseBtn(const QString& image, bool visible);
    virtual void addMinBtn(const QString& image, bool visible);
    virtual void addMaxBtn(const QString& image, bool visible);
    virtual void addRestoreBtn(const QString&, bool) {}
    // The close, minimise and maximise buttons, visible, in the application's
    // common images.
    void addTitleButtons();
    virtual void setTransDlg(bool transparent) { m_transparent = transparent; }
    void resetControlLocation() override;
    void setBtnOffest(int, int) {}

    QZOBaseButton* closeButton() const { return m_closeBtn; }
    QZOBaseButton* minButton() const { return m_minBtn; }
    QZOBaseButton* maxButton() const { return m_maxBtn; }

protected:
    QZOBaseButton* makeButton(QZOBaseButton*& slot, const QString& image, bool visible);

    QZOBaseButton* m_closeBtn = nullptr;
    QZOBaseButton* m_minBtn = nullptr;
    QZOBaseButton* m_maxBtn = nullptr;
    QZOBaseButton* m_restoreBtn = nullptr;
    bool m_transparent = true;
};

class QZOAboutDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    // The maker's web site, opened by the link and by the Help menu's pages.
    static QString homePage();

    explicit QZOAboutDlg(QWidget* parent = nullptr);
    ~QZOAboutDlg() override;

    virtual void Init();
    virtual void InitCtrl();
    void resetControlLocation() override;

    QLabel* linkLabel() const { return m_link; }
    QLabel* nameLabel() const { return m_name; }

public slots:
    void OnClickHome(const QString&);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void setLabelStyle(QLabel& label);

    QLabel* m_name;
    QLabel* m_version;
    QLabel* m_rights;
    QLabel* m_link;
    QLabel* m_visit;
    QLabel* m_empty;
    std::unique_ptr<QPixmap> m_icon;
};

#endif
