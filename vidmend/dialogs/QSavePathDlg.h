// The modal question before saving: which output folder, how much space is
// free there, and whether to ask again next time.
#ifndef VIDMEND_QSAVEPATHDLG_H
#define VIDMEND_QSAVEPATHDLG_H

#include "QZOStandardDialog.h"

#include <functional>

class QGroupBox;
class QLabel;
class QZOBaseButton;
class QZOCheckBox;
class QZOLineEdit;

class QSavePathDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit QSavePathDlg(QWidget* parent = nullptr);
    ~QSavePathDlg() override;

    // The folder in the path field, as typed or chosen, without trailing
    // blanks; empty when the field is empty.
    QString GetSavePath() const;

    // The folder chooser, given the window it opens over and the folder it
    // starts in; tests replace it. It returns an empty string when the user
    // cancels.
    using FolderChooser = std::function<QString(QWidget* parent, const QString& start)>;
    static void setFolderChooser(FolderChooser chooser);

    QLabel* spaceLabel() const { return m_labelSpace; }
    QZOCheckBox* showMsgBox() const { return m_cbShowMsg; }
    QZOLineEdit* pathEdit() const { return m_linePath; }
    QZOBaseButton* saveButton() const { return m_btnSave; }
    QZOBaseButton* cancelButton() const { return m_btnCancel; }
    QZOBaseButton* changeButton() const { return m_btnChange; }

private slots:
    void on_m_btnChange_clicked();
    void on_m_btnSave_clicked();
    void on_m_btnCancel_clicked();

private:
    void setupUi();
    void InitDlg();
    void InitCtrl();
    void InitLayout();
    void setLabelSpaceInfo();

    QString m_savePath;
    QLabel* m_labelSpace = nullptr;
    QZOCheckBox* m_cbShowMsg = nullptr;
    QZOBaseButton* m_btnSave = nullptr;
    QZOBaseButton* m_btnCancel = nullptr;
    QGroupBox* m_groupSave = nullptr;
    QZOLineEdit* m_linePath = nullptr;
    QZOBaseButton* m_btnChange = nullptr;
};

#endif
