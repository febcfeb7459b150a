// The preview window: one player and its control bar in a frameless
// dialog. Whoever owns it gives it a file and its key, starts it, runs it
// modally and pauses it when it closes; its previous and next buttons only
// say which file is current, and the owner answers with the neighbour.
#ifndef VIDMEND_QPLAYERDLG_H
#define VIDMEND_QPLAYERDLG_H

#include <QString>

#include "QBaseAudioDataWidget.h"
#include "QZOStandardDialog.h"

class QBasePlayWidget;
class QPlayerCtrl;

class QPlayerDlg : public QZOStandardDialog {
    Q_OBJECT
public:
    explicit QPlayerDlg(QWidget* parent = nullptr);
    ~QPlayerDlg() override;

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
