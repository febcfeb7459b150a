// The main window's central page: the file list above the bottom button
// bar, and the wiring between them. The bar shows the buttons of the step
// the page is at: add and repair, cancel, continue and back, save and home.
#ifndef VIDMEND_QMAINWGT_H
#define VIDMEND_QMAINWGT_H

#include <initializer_list>

#include "QBaseDrawWidget.h"

class QFileInfoWgt;
class QPlayerDlg;
class QZOBaseButton;

class QBottomWgt : public QZOWidget {
    Q_OBJECT
public:
    explicit QBottomWgt(QWidget* parent = nullptr);
    ~QBottomWgt() override;

    void resetControlLocation() override;

    QZOBaseButton* addButton() const { return m_add; }
    QZOBaseButton* repairButton() const { return m_repair; }
    QZOBaseButton* cancelButton() const { return m_cancel; }
    QZOBaseButton* continueButton() const { return m_continue; }
    QZOBaseButton* backButton() const { return m_back; }
    QZOBaseButton* saveButton() const { return m_save; }
    QZOBaseButton* homeButton() const { return m_home; }

public slots:
    void changeAddBtn(bool bEnable);
    void changeRepair(bool bEnable);
    void changeSaveBtn(bool bEnable);
    void changeHomeBtn(bool bEnable);
    void setAddFileBtns();
    void setRepairingBtns();
    void setContinueBtns();
    void setSaveBtns();

private:
    void Init();
    void showOnly(std::initializer_list<QZOBaseButton*> shown);

    QZOBaseButton* m_add = nullptr;
    QZOBaseButton* m_repair = nullptr;
    QZOBaseButton* m_cancel = nullptr;
    QZOBaseButton* m_continue = nullptr;
    QZOBaseButton* m_back = nullptr;
    QZOBaseButton* m_save = nullptr;
    QZOBaseButton* m_home = nullptr;
};

class QMainWgt : public QZOWidget {
    Q_OBJECT
public:
    explicit QMainWgt(QWidget* parent = nullptr);

    void resetControlLocation() override;
    QFileInfoWgt* page() const { return m_page; }
    QBottomWgt* bar() const { return m_bar; }
    QPlayerDlg* player() const { return m_player; }

    // Makes the page's preview window: a new dialog with the page as its
    // parent that plays what the page's preview hook names, and whose
    // previous and next buttons go to the page's neighbouring rows.
    static QPlayerDlg* attachPlayer(QFileInfoWgt* page);

private:
    void Init();

    QFileInfoWgt* m_page = nullptr;
    QBottomWgt* m_bar = nullptr;
    QPlayerDlg* m_player = nullptr;
};

#endif
