// The page in the middle of the main window that carries a repair from
// adding files to the end of the run: an empty drop area with a large add
// button until files are added, then the table of files with per-row
// controls; the repair run keeps at most the configured number of repair
// drivers running and turns their reports into the rows' states.
#ifndef VIDMEND_QFILEINFOWGT_H
#define VIDMEND_QFILEINFOWGT_H

#include <QList>
#include <QModelIndex>
#include <QPointer>
#include <QSet>
#include <QStringList>

#include <functional>
#include <vector>

#include "QBaseDrawWidget.h"

class IBaseChunk;
class QAddFileThread;
class QBaseProgressDlg;
class QSaveFileThread;
class QCheckHeaderView;
class QDelegateControl;
class QFileDelegate;
class QFileInfoChunk;
class QFileInfoModel;
class QFileInfoSortModel;
class QLabel;
class QProgressIndicator;
class QRepairObject;
class QZOBaseButton;
class QZOCheckBox;
class QZOStyleButton;
class QZOStyleProgress;
class QZOTableView;

class QFileInfoWgt : public QZOWidget {
    Q_OBJECT
public:
    explicit QFileInfoWgt(QWidget* parent = nullptr);
    ~QFileInfoWgt() override;

    void InitDatas();
    void AddFilesToModel(const QStringList& paths);
    // Empties the project's temporary folder, and nothing else: only a
    // private folder of ours under the system's temporary location.
    static void clearTemp();
    // The filter of the file dialog, and whether a file's suffix is in it.
    static QString filterText();
    static bool isSupported(const QString& path);

    // What the window asks before it closes: whether drivers are running,
    // and stopping them cleanly.
    bool isRepairing() const;
    void stopAllRepairs();

    // What a preview window needs of the page: where a row's file goes to be
    // played (its path and key), and the neighbouring playable file through
    // playNextFile and playPreFile; the main window wires a window to both.
    // Where a saved file is revealed; the file manager by default.
    void setPreviewHook(std::function<void(const QString&, quint32)> hook) { m_previewHook = std::move(hook); }
    void setRevealHook(std::function<void(const QString&)> hook) { m_revealHook = std::move(hook); }
    bool isSaving() const { return !m_saveWorker.isNull(); }
    // The playable row after (or before) the one whose temporary file is
    // current, wrapping round; null when no row is playable.
    QFileInfoChunk* nextPlayable(const QString& current, bool forward) const;

    // For tests and the window.
    const std::vector<IBaseChunk*>& rows() const { return m_rows; }
    QZOTableView* table() const { return m_table; }
    QFileInfoSortModel* sortModel() const { return m_sortModel; }
    QZOCheckBox* selectAllBox() const { return m_selectAll; }
    QLabel* countLabel() const { return m_countLabel; }
    QZOBaseButton* addButton() const { return m_addButton; }
    bool isAdding() const { return m_addWorker != nullptr; }
    bool isResultLook() const { return m_resultLook; }
    int runningCount() const { return m_running.size(); }
    int maxRunningSeen() const { return m_maxRunning; }

signals:
    void emitChangeAddBtn(bool bEnable);
    void emitChangeRepairBtn(bool bEnable);
    void emitChangeSaveBtn(bool bEnable);
    void emitChangeHomeBtn(bool bEnable);
    void emitAddFileBtns();
    void emitRepairingBtns();
    void emitContinueBtns();
    void emitSaveBtns();

public slots:
    void startRepair();
    void cancelRepair();
    void continueFromCancel();
    void backFromCancel();
    void returnHome();
    void saveFile();
    void returnFromSaveThread(int saveNum, QString strPath);
    void playNextFile(QString strFile);
    void playPreFile(QString strFile);

protected slots:
    void addFile();
    void setAddFileStatus();
    void setRepairingStatus();
    void setSaveStatus();
    void updateLabel();
    void OnBtnPreview(QModelIndex index);
    void OnBtnClose(QModelIndex index);
    void OnBtnPlay(QModelIndex index);
    void OnRepairState(int state, QModelIndex index);
    void OnRepairProgress(double progress, QModelIndex index);
    void OnRepairError(int result, QModelIndex index);
    void OnRepairTempFile(QString strTemp, QModelIndex index);
    void OnRepairFileKey(uint32_t key, QModelIndex index);
    void OnRepairFinish(QRepairObject* object);
    void RepairAllDone();
    void OnCheckInViewChange(QModelIndex index, int state);
    void changeCheckBox();
    void changeCheckBoxInView(int state);
    void ResetAll();
    void ReleaseDatas();
    void refreshChunk(QFileInfoChunk* chunk, bool isLast);
    void doubleClickToPlay(QModelIndex index);
    void finishSaveFile(QString strTemp, bool success);
    void clickCancelInSavingDlg();

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void Init();
    void InitView();
    void InitViewCtrl();
    void setSelectAllFromRows();
    QFileInfoChunk* RowOfSource(const QModelIndex& index) const;
    QFileInfoChunk* RowOfView(const QModelIndex& index) const;
    void redrawRow(const QModelIndex& source);
    void deleteDrivers();
    void deleteRows();
    // As the program ends: the rows' repaired copies go (nobody can save
    // them any more), then the temporary folder itself when nothing else
    // is in it.
    void removeTempCopies();
    // Starts pending drivers until the task number run at once.
    void fillRunning();
    void startAddWorker(const QStringList& paths);
    int taskNumber() const;

    QZOBaseButton* m_addButton = nullptr;
    QLabel* m_hintLabel = nullptr;
    QLabel* m_countLabel = nullptr;
    QZOTableView* m_table = nullptr;
    QZOCheckBox* m_selectAll = nullptr;
    QProgressIndicator* m_busy = nullptr;
    QFileInfoModel* m_modelA = nullptr;
    QFileInfoModel* m_modelB = nullptr;
    QFileInfoSortModel* m_sortModel = nullptr;
    QCheckHeaderView* m_header = nullptr;
    QZOStyleButton* m_revealButton = nullptr;
    QZOStyleButton* m_deleteButton = nullptr;
    QZOStyleButton* m_playButton = nullptr;
    QZOStyleButton* m_errorButton = nullptr;
    QZOStyleProgress* m_rowProgress = nullptr;
    QDelegateControl* m_controls4 = nullptr;
    QDelegateControl* m_controls5 = nullptr;
    QFileDelegate* m_delegateA = nullptr;
    QFileDelegate* m_delegateB = nullptr;
    std::vector<IBaseChunk*> m_rows;
    QList<QRepairObject*> m_repairObjects;
    QList<QRepairObject*> m_pending;
    // The drivers counted as running: those that started and have not yet
    // reported an end or an abort. A set, so a driver that fails at its
    // start is never counted, and one that ends is never counted twice.
    QSet<QRepairObject*> m_running;
    int m_maxRunning = 0;
    bool m_filling = false;
    bool m_cancelled = false;
    bool m_cancelBoxOpen = false;
    bool m_allDone = false;
    bool m_resultLook = false;
    QAddFileThread* m_addWorker = nullptr;
    // Paths dropped while an add was running: added when it ends.
    QStringList m_queuedPaths;
    QString m_openFolder;
    std::function<void(const QString&, quint32)> m_previewHook;
    std::function<void(const QString&)> m_revealHook;
    QPointer<QSaveFileThread> m_saveWorker;
    QPointer<QBaseProgressDlg> m_progressDlg;
    bool m_saveFinished = false;
};

#endif
