#include "QZOStandardDialog.h"

#include "QProjectConfig.h"
#include "QZOBaseButton.h"
#include "QZOInitStyleManager.h"
#include "QZOProjectPath.h"
#include "QZOProjectSetting.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPainter>
#include <QUrl>

QZOStandardDialog::QZOStandardDialog(QWidget* parent) : QZODialog(parent)
{
    // Frameless with a see-through shadow margin, like every window of ours.
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    const QMargins m = QProjectConfig::getProjectConfig()->getTransparentMargins();
    setTransparentW(m.left(), m.top(), m.right(), m.bottom());
    setStretchPolicy(StretchNone);
}

QZOStandardDialog::~QZOStandardDialog()
{
    delete m_closeBtn;
    delete m_minBtn;
    delete m_maxBtn;
}

QZOBaseButton* QZOStandardDialog::makeButton(QZOBaseButton*& slot, const QString& image, bool visible)
{
    delete slot;
    slot = new QZOBaseButton(this);
    slot->setButtonImage(image, true);
    slot->setVisible(visible);
    return slot;
}

void QZOStandardDialog::addCloseBtn(const QString& image, bool visible)
{
    makeButton(m_closeBtn, image, visible)->setToolTip(QObject::tr("Close"));
}

void QZOStandardDialog::addMinBtn(const QString& image, bool visible)
{
    makeButton(m_minBtn, image, visible)->setEnabled(false);
}

void QZOStandardDialog::addMaxBtn(const QString& image, bool visible)
{
    makeButton(m_maxBtn, image, visible)->setEnabled(false);
}

void QZOStandardDialog::addTitleButtons()
{
    addCloseBtn(QZOProjectPath::getResourcePath(QStringLiteral("/image/btn_close.png")), true);
    addMinBtn(QZOProjectPath::getResourcePath(QStringLiteral("/image/btn_min.png")), true);
    addMaxBtn(QZOProjectPath::getResourcePath(QStringLiteral("/image/btn_max.png")), true);
}

void QZOStandardDialog::resetControlLocation()
{
    const QMargins m = QProjectConfig::getProjectConfig()->getTransparentMargins();
    const QPoint base = m_transparent ? QPoint(m.left() + 8, m.top() + 5) : QPoint(9, 6);
    QZOBaseButton* buttons[3] = {m_closeBtn, m_minBtn, m_maxBtn};
    for (int i = 0; i < 3; ++i)
        if (buttons[i])
            buttons[i]->move(base + QPoint(20 * i, 0));
}

QString QZOAboutDlg::homePage()
{
    // A setting of the build (VIDMEND_HOME_PAGE); Help, Home and the About
    // box's link lead there.
    return QStringLiteral(VIDMEND_HOME_PAGE);
}

QZOAboutDlg::QZOAboutDlg(QWidget* parent)
    : QZOStandardDialog(parent),
      m_name(new QLabel(this)),
      m_version(new QLabel(this)),
      m_rights(new QLabel(this)),
      m_link(new QLabel(this)),
      m_visit(new QLabel(this)),
      m_empty(new QLabel(this))
{
    Init();
    InitCtrl();
    setStretchPolicy(StretchNone);
    m_icon.reset(new QPixmap(QZOProjectPath::getResourcePath(QString()) + QStringLiteral("/image/common/icon600x600.png")));
}

QZOAboutDlg::~QZOAboutDlg() = default;

void QZOAboutDlg::Init()
{
    QZOInitStyleManager::InitStyle(this, ZO_UI::ZODialogStyle, QStringLiteral("ZOABOUT_DLG"), QString());
    setDlgTitle(QObject::tr("About"));
    // Centred, clear of the title-bar buttons at the left.
    QBaseDrawWidget::setAlignment(Qt::AlignCenter);
    const QMargins margins = QProjectConfig::getProjectConfig()->getTransparentMargins();
    setTitleRect(QRect(margins.left(), margins.top() + 3, 0, 0));
    const QMargins m = QProjectConfig::getProjectConfig()->getTransparentMargins();
    setFixedSize(400 + m.left() + m.right(), 240 + m.top() + m.bottom());
}

void QZOAboutDlg::InitCtrl()
{
    const QString res = QZOProjectPath::getResourcePath(QString());
    addCloseBtn(res + QStringLiteral("/image/btn_close.png"), true);
    addMinBtn(res + QStringLiteral("/image/btn_min.png"), true);
    addMaxBtn(res + QStringLiteral("/image/btn_max.png"), true);
    connect(m_closeBtn, &QPushButton::clicked, this, &QWidget::close);

    for (QLabel* label : {m_name, m_version, m_rights, m_link, m_visit, m_empty})
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_link->setGeometry(120, 150, 171, 21);

    m_name->setText(QProjectConfig::getProjectConfig()->projectName());
    m_empty->setText(QString());
    m_version->setText(QStringLiteral("%1 %2").arg(QObject::tr("Version"), QStringLiteral("1.0.0")));
    m_rights->setText(QObject::tr("Free software for mending damaged recordings."));
    m_visit->setText(QObject::tr("Visit:"));
    const QColor linkColor = QZOInitStyleManager::getInstance()->projectPalette().linkColor;
    m_link->setText(QStringLiteral("<style> a {text-decoration: 1} </style> <a style='color: %1;' href = %2> %3</a>")
                        .arg(linkColor.name(), homePage(), homePage()));

    const QFont projectFont = QProjectConfig::getProjectConfig()->font();
    QFont font = m_name->font();
    font.setFamily(projectFont.family());
    font.setFamilies(projectFont.families());
    // The design's sizes are in points of a 72-dpi desktop, that is pixels;
    // pixel sizes keep the layout's fixed places apart at any dpi.
    font.setPixelSize(15);
    m_name->setFont(font);
    m_name->adjustSize();
    font.setPixelSize(13);
    for (QLabel* label : {m_version, m_visit, m_link})
        label->setFont(font);
    if (QZOProjectSetting::getLanguageType() == 3 && projectFont.pixelSize() > 2) {
        QFont rights = font;
        rights.setPixelSize(projectFont.pixelSize() - 2);
        m_rights->setFont(rights);
    }
    m_rights->adjustSize();
    for (QLabel* label : {m_name, m_version, m_visit, m_link, m_rights})
        setLabelStyle(*label);
    connect(m_link, &QLabel::linkActivated, this, &QZOAboutDlg::OnClickHome);
}

void QZOAboutDlg::setLabelStyle(QLabel& label)
{
    QPalette palette;
    palette.setColor(QPalette::WindowText, QZOInitStyleManager::getInstance()->projectPalette().textColor);
    label.setPalette(palette);
}

void QZOAboutDlg::OnClickHome(const QString&)
{
    QDesktopServices::openUrl(QUrl(homePage(), QUrl::TolerantMode));
}

void QZOAboutDlg::resetControlLocation()
{
    QZOStandardDialog::resetControlLocation();
    m_name->move(140, 80);
    m_empty->move(145 + m_name->width(), 78);
    m_version->setGeometry(140, 100, 300, 20);
    m_visit->move(50, 150);
    m_visit->adjustSize();
    m_visit->resize(m_visit->width(), 21);
    m_link->move(m_visit->geometry().right() + 5, 150);
    m_link->adjustSize();
    m_rights->move(50, 180);
}

void QZOAboutDlg::paintEvent(QPaintEvent* event)
{
    QZODialog::paintEvent(event);
    if (!m_icon || m_icon->isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(50, 61, m_icon->scaled(70, 70, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}
