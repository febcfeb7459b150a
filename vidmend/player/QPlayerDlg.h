// The preview window: one player and its control bar in a frameless
// dialog. The file list gives it a file and its key, starts it, runs it
// modally and pauses it when it closes; its previous and next buttons ask
// the file list for the neighbouring playable file.
#ifndef VIDMEND_QPLAYERDLG_H
#define VIDMEND_QPLAYERDLG_H

#include <QString>

#include "QBaseAudioDataWidget.h"
#include "QZOStandardDialog.h"

class QBasePlayWidget;
class QFileInfoWgt;
class QPlayerCtrl;

class QPlayerDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit QPlayerDlg(QWidget* parent = nullptr);
    ~QPlayerDlg() override;

    // Makes the page's preview window: a new dialog with the page as its
    // parent that plays what the page's preview hook names, and whose
    // previous and next buttons go to the page's neighbouring rows.
    static QPlayerDlg* attachToPage(QFileInfoWgt* page);
    // How the window draws the sound levels of a file without pictures.
    static ZO_MEDIA_COM::AudioDataAttribute levelLook();

    // An empty path is ignored and the current file stays.
    void setFile(const QString& path, unsigned int key);
    void startPlay();
    void stopPlay();
    bool isVideo();
    // Plays path: in the open window when it is shown, else the window is
    // run modally and paused when it closes.
    void play(const QString& path, unsigned int key);
    void resetControlLocation() override;

    QString currentFile() const { return m_strCurFile; }
    QPlayerCtrl* controlBar() const { return m_ctrl; }
    QBasePlayWidget* player() const { return m_player; }

signals:
    void emitPlayPreBtn(QString strFile);
    void emitPlayNextBtn(QString strFile);

public slots:
    void onPreBtnClick();
    void onNextBtnClick();

private:
    void Init();
    void InitCtrl();

    QString m_strCurFile;
    QPlayerCtrl* m_ctrl = nullptr;
    QBasePlayWidget* m_player = nullptr;
};

#endif
