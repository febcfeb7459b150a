// The report after a save: how many files were saved, with "Open Folder"
// and the choice to open the folder by itself next time.
#ifndef VIDMEND_QSAVESUCCESSDLG_H
#define VIDMEND_QSAVESUCCESSDLG_H

#include "QZOStandardDialog.h"

class QLabel;
class QZOBaseButton;
class QZOCheckBox;

class qSaveSuccessDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit qSaveSuccessDlg(int count, QWidget* parent = nullptr);
    ~qSaveSuccessDlg() override;

    bool IsAutoOpenFolder() const;

    QZOCheckBox* autoOpenBox() const { return m_cbAutoOpen; }
    QZOBaseButton* openButton() const { return m_btnOpen; }
    QZOBaseButton* cancelButton() const { return m_btnCancel; }
    QLabel* iconLabel() const { return m_icon; }
    QLabel* messageLabel() const { return m_message; }

private:
    void InitCtrl();
    void InitLayout();

    QZOCheckBox* m_cbAutoOpen = nullptr;
    QZOBaseButton* m_btnOpen = nullptr;
    QZOBaseButton* m_btnCancel = nullptr;
    QLabel* m_icon = nullptr;
    QLabel* m_message = nullptr;
    int m_count;
};

#endif
