#include "QPlayerDlg.h"


#include "QBaseAudioDataWidget.h"
#include "QBasePlayControl.h"
#include "QBasePlayWidget.h"
#include "QInitCtrlStyle.h"
#include "QProjectConfig.h"
#include "QZOBaseButton.h"
#include "QZOProjectPath.h"

namespace {

QString Image(const char* name)
{
    return QZOProjectPath::getResourcePath(QString()) + QString::fromLatin1(name);
}

constexpr int kWidth = 600;
constexpr int kHeight = 450;

}  // namespace

QPlayerDlg::QPlayerDlg(QWidget* parent) : QZOStandardDialog(parent)
{
    Init();
    InitCtrl();
}

QPlayerDlg::~QPlayerDlg()
{
    // The player first: it releases the media layer's player, whose thread
    // may still be drawing, before anything it reports to goes.
    delete m_player;
    m_player = nullptr;
    delete m_ctrl;
    m_ctrl = nullptr;
}

ZO_MEDIA_COM::AudioDataAttribute QPlayerDlg::levelLook()
{
    ZO_MEDIA_COM::AudioDataAttribute a;
    a.barWidth = 10;
    a.unitHeight = 4;
    a.barSpacing = 4;
    a.unitSpacing = 4;
    a.showPeak = 1;
    a.peakFall = 1;
    a.cornerRadius = 1.0;
    a.barColor = a.peakColor = QColor(81, 102, 192);
    a.drawMode = 1;
    return a;
}

void QPlayerDlg::Init()
{
    QInitCtrlStyle::InitPlayerBg(this);
    addCloseBtn(Image("/image/btn_close.png"), true);
    addMinBtn(Image("/image/btn_min.png"), true);
    addMaxBtn(Image("/image/btn_max.png"), true);
    setDlgTitle(QProjectConfig::getProjectConfig()->projectName());
    setMinimumSize(kWidth, kHeight);
    resize(kWidth, kHeight);
}

void QPlayerDlg::InitCtrl()
{
    m_ctrl = new QPlayerCtrl(this);
    m_ctrl->show();
    m_player = new QBasePlayWidget(this);
    m_player->setBackgrounColor(QColor(32, 32, 32));
    m_player->show();
    m_player->setPlayControlWgt(m_ctrl);

    if (QBaseAudioDataWidget* level = m_player->AudioDataWidget()) {
        QImage logo(Image("/image/player/bg_audio.png"));
        logo.setDevicePixelRatio(2.0);
        level->setAudioLogo(logo);
        level->setAudioDataAttribute(levelLook());
    }

    connect(m_closeBtn, &QPushButton::clicked, this, &QDialog::close);
    connect(m_ctrl->previousButton(), &QPushButton::clicked, this, &QPlayerDlg::onPreBtnClick);
    connect(m_ctrl->nextButton(), &QPushButton::clicked, this, &QPlayerDlg::onNextBtnClick);
    resetControlLocation();
}

void QPlayerDlg::setFile(const QString& path, unsigned int key)
{
    if (path.isEmpty())
        return;
    m_player->setPlayFileForKey(path, key, 0, 0);
    m_strCurFile = path;
}

void QPlayerDlg::startPlay()
{
    m_ctrl->StartPlay();
}

void QPlayerDlg::stopPlay()
{
    m_ctrl->StopPlay();
}

bool QPlayerDlg::isVideo()
{
    return m_player->isHaveVideoAudio(true);
}

void QPlayerDlg::play(const QString& path, unsigned int key)
{
    setFile(path, key);
    startPlay();
    if (isVisible())
        return;
    exec();
    stopPlay();
}

void QPlayerDlg::onPreBtnClick()
{
    emit emitPlayPreBtn(m_strCurFile);
}

void QPlayerDlg::onNextBtnClick()
{
    emit emitPlayNextBtn(m_strCurFile);
}

void QPlayerDlg::resetControlLocation()
{
    QZOStandardDialog::resetControlLocation();
    if (!m_player || !m_ctrl)
        return;
    const int W = width(), H = height();
    m_player->setGeometry(QRect(QPoint(1, 22), QPoint(W - 2, H - 62)));
    m_ctrl->setGeometry(QRect(QPoint(1, H - 61), QPoint(W - 2, H - 2)));
}
