// The Preferences dialog: a row of tab buttons over a scrolling page area,
// one settings page per tab. Pages show the stored settings when built and
// write them only on OK; Cancel and the close button discard every change.
#ifndef VIDMEND_QPREFERENCESDLG_H
#define VIDMEND_QPREFERENCESDLG_H

#include "QBaseDrawWidget.h"
#include "QZOBaseButton.h"
#include "QZOComboBox.h"
#include "QZOStandardDialog.h"

#include <QList>

#include <functional>

class QComboBox;
class QLabel;
class QGroupBox;
class QHBoxLayout;
class QScrollArea;
class QVBoxLayout;
class QZORadioButton;
class QZOTextEdit;

// One settings page.
class QBasePreferWgt : public QZOWidget {
    Q_OBJECT
public:
    explicit QBasePreferWgt(QWidget* parent = nullptr);

    virtual void saveSetting() = 0;
    virtual QString getTagName() const = 0;

    // Whether a file can be created in the folder path: a probe file that
    // does not exist yet is created and removed again. An existing file is
    // never opened; when all probe names are taken the answer is false.
    static bool isWritableDir(const QString& path);
};

// A tab button and the page it shows.
class QPreferBtn : public QZOBaseButton {
    Q_OBJECT
public:
    explicit QPreferBtn(QWidget* parent = nullptr);

    void setPreferWgt(QBasePreferWgt* page, bool flag);
    QBasePreferWgt* preferWgt() const { return m_page; }

private:
    QBasePreferWgt* m_page = nullptr;
    bool m_flag = false;
};

class QPreferencesDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit QPreferencesDlg(QWidget* parent = nullptr);
    ~QPreferencesDlg() override;

    void addPreferWgt(QBasePreferWgt* page, bool flag);
    void resetControlLocation() override;

    QPreferBtn* currentButton() const { return m_current; }
    const QList<QPreferBtn*>& buttons() const { return m_buttons; }
    QZOBaseButton* okButton() const { return m_btnOk; }
    QZOBaseButton* cancelButton() const { return m_btnCancel; }

public slots:
    void OnSelectBtn(int nIndex);
    void OnPreferBtn();
    void OnBtnOk();

private:
    void setupUi();
    void Init();

    QPreferBtn* m_current = nullptr;
    QList<QPreferBtn*> m_buttons;

    QZOBaseButton* m_btnOk = nullptr;
    QZOBaseButton* m_btnCancel = nullptr;
    QVBoxLayout* m_vLayout = nullptr;
    QHBoxLayout* m_btnMainHLayout = nullptr;
    QHBoxLayout* m_btnHLayout = nullptr;
    QHBoxLayout* m_Layout = nullptr;
    QVBoxLayout* m_BtnVerticalLayout = nullptr;
    QVBoxLayout* m_BtnVerticalLayout_3 = nullptr;
    QVBoxLayout* m_verticalLayout = nullptr;
    QScrollArea* scrollArea = nullptr;
    QWidget* m_scrollAreaWidget = nullptr;
    QVBoxLayout* m_ConvertLayout = nullptr;
    QVBoxLayout* m_listLayout = nullptr;
};

// General: automatic updates and what the title-bar close button does.
class QGeneralPreWgt : public QBasePreferWgt {
    Q_OBJECT
public:
    explicit QGeneralPreWgt(QWidget* parent = nullptr);

    void saveSetting() override;
    QString getTagName() const override;
    void resetControlLocation() override;

    QZORadioButton* autoUpdateRadio() const { return m_radAutoUpdate; }
    QZORadioButton* closeUpdateRadio() const { return m_radCloseUpdate; }
    QLabel* updateNote() const { return m_updateNote; }
    QZORadioButton* minRadio() const { return m_radMin; }
    QZORadioButton* exitRadio() const { return m_radExit; }

signals:
    void sendUpdate(bool on);

public slots:
    void OnChangeUpdate();
    void OnChangeClose();

private:
    void InitCtrl();

    bool m_autoUpdate = false;
    bool m_exitOnClose = false;
    QGroupBox* m_GroupUpdates = nullptr;
    QZORadioButton* m_radAutoUpdate = nullptr;
    QZORadioButton* m_radCloseUpdate = nullptr;
    QLabel* m_updateNote = nullptr;
    QGroupBox* m_GroupClose = nullptr;
    QZORadioButton* m_radMin = nullptr;
    QZORadioButton* m_radExit = nullptr;
};

// Advanced: output folder, number of parallel repairs, warning windows.
class QAdvancedPreWgt : public QBasePreferWgt {
    Q_OBJECT
public:
    explicit QAdvancedPreWgt(QWidget* parent = nullptr);

    void saveSetting() override;
    QString getTagName() const override;
    void resetControlLocation() override;

    QString chosenFolder() const { return m_outputFolder; }
    QZOComboBox* tasksCombo() const { return m_cmbTasks; }
    QZOComboBox* warnCombo() const { return m_cmbWarn; }
    QZOTextEdit* pathEdit() const { return m_txtPath; }
    QZOBaseButton* changeButton() const { return m_btnChange; }
    QZOBaseButton* resetButton() const { return m_btnReset; }

    // The folder chooser, given the window it opens over and the folder it
    // starts in; tests replace it. Empty means cancelled.
    using FolderChooser = std::function<QString(QWidget* parent, const QString& start)>;
    static void setFolderChooser(FolderChooser chooser);

public slots:
    void OnBtnChange();
    void OnBtnReset();

private:
    void InitCtrl();
    void showFolder(const QString& folder);

    QString m_outputFolder;
    int m_taskNum = 1;
    bool m_warnOn = true;
    QGroupBox* m_GroupOutput = nullptr;
    QZOBaseButton* m_btnChange = nullptr;
    QZOBaseButton* m_btnReset = nullptr;
    QZOTextEdit* m_txtPath = nullptr;
    QGroupBox* m_GroupTasksNum = nullptr;
    QZOComboBox* m_cmbTasks = nullptr;
    QGroupBox* m_GroupWarn = nullptr;
    QZOComboBox* m_cmbWarn = nullptr;
};

#endif
