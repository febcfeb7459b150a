#include "QPreferencesDlg.h"

#include "QInitCtrlStyle.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "QZOBaseBoxDraw.h"
#include "QZOComboBox.h"
#include "QZOLineEdit.h"
#include "QZOProjectPath.h"
#include "QZOScrollBar.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QSpacerItem>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

void setWeight50(QGroupBox* first, std::initializer_list<QGroupBox*> boxes)
{
    QFont font = first->font();
    font.setWeight(50);
    for (QGroupBox* box : boxes)
        box->setFont(font);
}

QString formatted(QString path)
{
    QZOProjectPath::formatPath(path);
    return path;
}

QAdvancedPreWgt::FolderChooser& chooser()
{
    static QAdvancedPreWgt::FolderChooser f;
    return f;
}

}  // namespace

// ---- pages ------------------------------------------------------------------

QBasePreferWgt::QBasePreferWgt(QWidget* parent) : QZOWidget(parent, ChildKind) {}

bool QBasePreferWgt::isWritableDir(const QString& path)
{
    // The probe goes inside the folder, whether or not the caller ended the
    // path with a separator.
    QString folder = path;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    const QString product = QProjectConfig::getProjectConfig()->projectName();
    for (int n = 0; n < 100; ++n) {
        const QString candidate =
            n == 0 ? folder + QStringLiteral("%1.txt").arg(product) : folder + QStringLiteral("%1%2.txt").arg(product).arg(n);
        if (QFile::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        // NewOnly: a file that appeared since the check is left alone.
        QFile probe(candidate);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        probe.close();
        probe.remove();
        return true;
    }
    return false;
}

QGeneralPreWgt::QGeneralPreWgt(QWidget* parent) : QBasePreferWgt(parent)
{
    setObjectName(QStringLiteral("QGeneralPreWgt"));
    m_GroupUpdates = new QGroupBox(this);
    m_GroupUpdates->setObjectName(QStringLiteral("m_GroupUpdates"));
    m_radAutoUpdate = new QZORadioButton(m_GroupUpdates);
    m_radAutoUpdate->setObjectName(QStringLiteral("m_radAutoUpdate"));
    m_radAutoUpdate->resize(281, 16);
    m_radCloseUpdate = new QZORadioButton(m_GroupUpdates);
    m_radCloseUpdate->setObjectName(QStringLiteral("m_radCloseUpdate"));
    m_radCloseUpdate->resize(331, 16);
    m_updateNote = new QLabel(m_GroupUpdates);
    m_updateNote->setObjectName(QStringLiteral("m_updateNote"));
    m_GroupClose = new QGroupBox(this);
    m_GroupClose->setObjectName(QStringLiteral("m_GroupClose"));
    m_radMin = new QZORadioButton(m_GroupClose);
    m_radMin->setObjectName(QStringLiteral("m_radMin"));
    m_radMin->resize(251, 16);
    m_radExit = new QZORadioButton(m_GroupClose);
    m_radExit->setObjectName(QStringLiteral("m_radExit"));
    m_radExit->resize(251, 16);
    InitCtrl();
    setBackgrounColor(QColor(255, 255, 255));
}

void QGeneralPreWgt::InitCtrl()
{
    m_GroupUpdates->setTitle(QObject::tr("Automatic updates"));
    m_radAutoUpdate->setText(QObject::tr("Automatically update to the newest version"));
    m_radCloseUpdate->setText(QObject::tr("Close automatic updates"));
    m_GroupClose->setTitle(QObject::tr("Close"));
    m_radMin->setText(QObject::tr("Minimize to Tray"));
    m_radExit->setText(QObject::tr("Exit"));
    // On this platform the program is updated with the system's packages:
    // the choice is kept, and says that it changes nothing here.
    m_updateNote->setText(QObject::tr("No effect here: updates come with the system's packages."));
    QInitCtrlStyle::InitLabel(m_updateNote);
    QInitCtrlStyle::InitFont(m_updateNote, 11);
    m_updateNote->adjustSize();
    QInitCtrlStyle::InitGroup(m_GroupUpdates);
    QInitCtrlStyle::InitGroup(m_GroupClose);
    setWeight50(m_GroupUpdates, {m_GroupUpdates, m_GroupClose});
    for (QZORadioButton* radio : {m_radAutoUpdate, m_radCloseUpdate, m_radMin, m_radExit}) {
        QInitCtrlStyle::InitRadio(radio);
        // Wide enough for its text in the desktop's font, never narrower
        // than the page was drawn for.
        radio->resize(qMax(radio->width(), radio->sizeHint().width()), radio->height());
    }
    connect(m_radAutoUpdate, &QAbstractButton::clicked, this, &QGeneralPreWgt::OnChangeUpdate);
    connect(m_radCloseUpdate, &QAbstractButton::clicked, this, &QGeneralPreWgt::OnChangeUpdate);
    connect(m_radMin, &QAbstractButton::clicked, this, &QGeneralPreWgt::OnChangeClose);
    connect(m_radExit, &QAbstractButton::clicked, this, &QGeneralPreWgt::OnChangeClose);

    m_autoUpdate = QProjectSetting::getAutoUpdateFromXML(false);
    (m_autoUpdate ? m_radAutoUpdate : m_radCloseUpdate)->setChecked(true);
    m_exitOnClose = QProjectSetting::getExitWhenCloseFromXML(false);
    (m_exitOnClose ? m_radExit : m_radMin)->setChecked(true);
}

void QGeneralPreWgt::OnChangeUpdate()
{
    m_autoUpdate = m_radAutoUpdate->isChecked();
}

void QGeneralPreWgt::OnChangeClose()
{
    m_exitOnClose = m_radExit->isChecked();
}

void QGeneralPreWgt::saveSetting()
{
    emit sendUpdate(m_autoUpdate);
    QProjectSetting::setAutoUpdateToXML(m_autoUpdate, true);
    QProjectSetting::setExitWhenCloseToXML(m_exitOnClose, true);
}

QString QGeneralPreWgt::getTagName() const
{
    return QObject::tr("General");
}

void QGeneralPreWgt::resetControlLocation()
{
    const int w = width();
    m_GroupUpdates->setGeometry(20, 10, w - 40, 90);
    const int b = m_GroupUpdates->geometry().bottom();
    m_GroupClose->setGeometry(20, b + 25, w - 40, 90);
    for (auto pair : {std::make_pair(m_radAutoUpdate, m_radCloseUpdate), std::make_pair(m_radMin, m_radExit)}) {
        pair.first->move(25, 25);
        pair.second->move(25, pair.first->geometry().bottom() + 15);
    }
    m_updateNote->move(25 + 20, m_radCloseUpdate->geometry().bottom() + 3);
}

void QAdvancedPreWgt::setFolderChooser(FolderChooser f)
{
    chooser() = std::move(f);
}

QAdvancedPreWgt::QAdvancedPreWgt(QWidget* parent)
    : QBasePreferWgt(parent),
      m_outputFolder(QProjectSetting::getSavePath()),
      // The choices offered are 1 to 3: a stored number outside them shows
      // as the nearest one, and that is what OK stores.
      m_taskNum(qBound(QProjectSetting::kMinTasks, QProjectSetting::getTaskNumFromXML(false), QProjectSetting::kMaxTasks))
{
    setObjectName(QStringLiteral("QAdvancedPreWgt"));
    m_GroupOutput = new QGroupBox(this);
    m_GroupOutput->setObjectName(QStringLiteral("m_GroupOutput"));
    m_btnChange = new QZOBaseButton(m_GroupOutput);
    m_btnChange->setObjectName(QStringLiteral("m_btnChange"));
    m_btnReset = new QZOBaseButton(m_GroupOutput);
    m_btnReset->setObjectName(QStringLiteral("m_btnReset"));
    m_txtPath = new QZOTextEdit(m_GroupOutput);
    m_txtPath->setObjectName(QStringLiteral("m_txtPath"));
    m_GroupTasksNum = new QGroupBox(this);
    m_GroupTasksNum->setObjectName(QStringLiteral("m_GroupTasksNum"));
    m_cmbTasks = new QZOComboBox(m_GroupTasksNum);
    m_cmbTasks->setObjectName(QStringLiteral("m_cmbTasks"));
    m_GroupWarn = new QGroupBox(this);
    m_GroupWarn->setObjectName(QStringLiteral("m_GroupWarn"));
    m_cmbWarn = new QZOComboBox(m_GroupWarn);
    m_cmbWarn->setObjectName(QStringLiteral("m_cmbWarn"));
    m_warnOn = QProjectSetting::getAskForSaveFromXML(false) || !QProjectSetting::getAutoOpenFolderFromXML(false);
    InitCtrl();
    setBackgrounColor(QColor(255, 255, 255));
    setMinimumHeight(280);
}

void QAdvancedPreWgt::InitCtrl()
{
    QInitCtrlStyle::InitGroup(m_GroupOutput);
    m_GroupOutput->setTitle(QObject::tr("Output"));
    QInitCtrlStyle::InitZoCommonButton(m_btnChange);
    QInitCtrlStyle::InitZoCommonButton(m_btnReset);
    m_btnChange->setText(QObject::tr("Change"));
    QInitCtrlStyle::fitText(m_btnChange);
    m_btnReset->setText(QObject::tr("Reset"));
    QInitCtrlStyle::fitText(m_btnReset);
    // The folder changes through Change and Reset only: a shown path that
    // could be edited by hand would not be the one stored.
    m_txtPath->textEdit()->setReadOnly(true);
    showFolder(m_outputFolder);

    QInitCtrlStyle::InitGroup(m_GroupTasksNum);
    m_GroupTasksNum->setTitle(QObject::tr("Number of parallel tasks"));
    for (QZOComboBox* combo : {m_cmbTasks, m_cmbWarn})
        QInitCtrlStyle::InitZOCombox(combo, 90, 20, QString());
    m_cmbTasks->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")});
    m_cmbTasks->setCurrentIndex(m_cmbTasks->findText(QString::number(m_taskNum), Qt::MatchExactly | Qt::MatchCaseSensitive));

    QInitCtrlStyle::InitGroup(m_GroupWarn);
    m_GroupWarn->setTitle(QObject::tr("Warning Window"));
    m_cmbWarn->addItems({QStringLiteral("Turn On"), QStringLiteral("Turn Off")});
    m_cmbWarn->setCurrentIndex(m_warnOn ? 0 : 1);
    setWeight50(m_GroupOutput, {m_GroupOutput, m_GroupTasksNum, m_GroupWarn});

    connect(m_btnChange, &QPushButton::clicked, this, &QAdvancedPreWgt::OnBtnChange);
    connect(m_btnReset, &QPushButton::clicked, this, &QAdvancedPreWgt::OnBtnReset);
}

void QAdvancedPreWgt::showFolder(const QString& folder)
{
    QInitCtrlStyle::InitTextEdit(m_txtPath);
    m_txtPath->textEdit()->setPlainText(formatted(folder));
}

void QAdvancedPreWgt::OnBtnChange()
{
    // Over the preferences, in the folder the page shows.
    QWidget* over = window();
    const QString folder = chooser() ? chooser()(over, m_outputFolder)
                                     : QFileDialog::getExistingDirectory(over, QString(), m_outputFolder,
                                                                         QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    m_outputFolder = formatted(folder);
    showFolder(m_outputFolder);
}

void QAdvancedPreWgt::OnBtnReset()
{
    m_outputFolder = formatted(QProjectSetting::getDefaultSavePath());
    showFolder(m_outputFolder);
}

void QAdvancedPreWgt::saveSetting()
{
    QProjectSetting::setSavePathToXML(m_outputFolder);
    bool ok = false;
    const int tasks = m_cmbTasks->currentText().toInt(&ok);
    QProjectSetting::setTaskNumToXML(
        ok ? qBound(QProjectSetting::kMinTasks, tasks, QProjectSetting::kMaxTasks) : m_taskNum, true);
    // The warning choice stands for three settings that other dialogs turn
    // off one at a time ("Don't show this message again"). The page shows
    // "Turn On" while any of them is still on, so OK writes all three as
    // shown: "Turn On" brings back every dialog that was switched off.
    const int warn = m_cmbWarn->currentIndex();
    QProjectSetting::setAskForSaveToXML(warn == 0, true);
    QProjectSetting::setAutoOpenFolderToXML(warn != 0, true);
    QProjectSetting::setShowCloseDlgToXML(warn == 0, true);
}

QString QAdvancedPreWgt::getTagName() const
{
    return QObject::tr("Advanced");
}

void QAdvancedPreWgt::resetControlLocation()
{
    const int w = width();
    m_GroupOutput->setGeometry(20, 10, w - 40, 100);
    const int gw = m_GroupOutput->width();
    m_btnChange->move(gw - 25 - m_btnChange->width(), 25);
    m_btnReset->move(m_btnChange->x(), m_btnChange->geometry().bottom() + 15);
    m_txtPath->setGeometry(QRect(QPoint(25, m_btnChange->y()),
                                 QPoint(gw - 41 - m_btnChange->width(), m_btnReset->geometry().bottom() - 1)));
    const int b1 = m_GroupOutput->geometry().bottom();
    m_GroupTasksNum->setGeometry(20, b1 + 10, w - 40, 60);
    m_cmbTasks->move(25, 25);
    const int b2 = m_GroupTasksNum->geometry().bottom();
    m_GroupWarn->setGeometry(20, b2 + 10, w - 40, 60);
    m_cmbWarn->move(25, 25);
}

// ---- tab button -------------------------------------------------------------

QPreferBtn::QPreferBtn(QWidget* parent) : QZOBaseButton(parent) {}

void QPreferBtn::setPreferWgt(QBasePreferWgt* page, bool flag)
{
    if (!page)
        return;
    m_page = page;
    m_flag = flag;
    setText(page->getTagName());
}

// ---- dialog -----------------------------------------------------------------

QPreferencesDlg::QPreferencesDlg(QWidget* parent) : QZOStandardDialog(parent)
{
    setupUi();
    Init();
}

QPreferencesDlg::~QPreferencesDlg() = default;

void QPreferencesDlg::setupUi()
{
    setObjectName(QStringLiteral("QPreferencesDlg"));
    m_btnOk = new QZOBaseButton(this);
    m_btnOk->setObjectName(QStringLiteral("m_btnOk"));
    m_btnCancel = new QZOBaseButton(this);
    m_btnCancel->setObjectName(QStringLiteral("m_btnCancel"));

    m_vLayout = new QVBoxLayout(this);
    m_vLayout->setObjectName(QStringLiteral("m_vLayout"));
    m_btnMainHLayout = new QHBoxLayout();
    m_btnMainHLayout->setObjectName(QStringLiteral("m_btnMainHLayout"));
    m_btnHLayout = new QHBoxLayout();
    m_btnHLayout->setObjectName(QStringLiteral("m_btnHLayout"));
    m_btnMainHLayout->addItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_btnMainHLayout->addLayout(m_btnHLayout);
    m_btnMainHLayout->addItem(new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_vLayout->addLayout(m_btnMainHLayout);

    m_Layout = new QHBoxLayout();
    m_Layout->setObjectName(QStringLiteral("m_Layout"));
    m_BtnVerticalLayout = new QVBoxLayout();
    m_BtnVerticalLayout->setObjectName(QStringLiteral("m_BtnVerticalLayout"));
    m_BtnVerticalLayout_3 = new QVBoxLayout();
    m_BtnVerticalLayout_3->setObjectName(QStringLiteral("m_BtnVerticalLayout_3"));
    m_BtnVerticalLayout->addLayout(m_BtnVerticalLayout_3);
    m_BtnVerticalLayout->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    m_Layout->addLayout(m_BtnVerticalLayout);
    m_verticalLayout = new QVBoxLayout();
    m_verticalLayout->setObjectName(QStringLiteral("m_verticalLayout"));
    scrollArea = new QScrollArea(this);
    scrollArea->setObjectName(QStringLiteral("scrollArea"));
    m_scrollAreaWidget = new QWidget();
    m_scrollAreaWidget->setObjectName(QStringLiteral("m_scrollAreaWidget"));
    m_ConvertLayout = new QVBoxLayout();
    m_ConvertLayout->setObjectName(QStringLiteral("m_ConvertLayout"));
    m_listLayout = new QVBoxLayout();
    m_listLayout->setObjectName(QStringLiteral("m_listLayout"));
    m_ConvertLayout->addLayout(m_listLayout);
    m_ConvertLayout->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    m_verticalLayout->addWidget(scrollArea);
    m_Layout->addLayout(m_verticalLayout);
    m_vLayout->addLayout(m_Layout);
}

void QPreferencesDlg::Init()
{
    setWindowTitle(QObject::tr("Preferences"));
    setBackgroundImage(QInitCtrlStyle::resource(QStringLiteral("/image/common/bg_tab.png")), true);
    QInitCtrlStyle::InitDlg(this);
    const rectSize corner{65, 65};
    setGridViewInfo(corner, corner, corner, corner);
    setFixedSize(516, 334);
    addTitleButtons();
    setDlgTitle(QString());

    m_vLayout->setContentsMargins(8, 30, 8, 58);
    m_vLayout->setSpacing(1);
    m_Layout->setSpacing(0);
    m_Layout->setContentsMargins(0, 0, 0, 0);
    scrollArea->setFrameShape(QFrame::NoFrame);
    m_verticalLayout->setContentsMargins(0, 0, 0, 0);
    QPalette area = m_scrollAreaWidget->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        area.setColor(group, QPalette::Window, QColor(44, 41, 48));
    m_scrollAreaWidget->setPalette(area);
    auto* bar = new QZOScrollBar(Qt::Vertical, scrollArea);
    QInitCtrlStyle::InitZoScrollBar(bar);
    scrollArea->setVerticalScrollBar(bar);
    scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setWidgetResizable(true);
    scrollArea->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_scrollAreaWidget->setLayout(m_ConvertLayout);
    scrollArea->setWidget(m_scrollAreaWidget);
    m_listLayout->setSpacing(0);
    m_listLayout->setContentsMargins(0, 0, 0, 0);
    m_ConvertLayout->setContentsMargins(0, 0, 0, 0);

    m_btnHLayout->setContentsMargins(0, 0, 0, 0);
    m_btnHLayout->setSpacing(12);
    m_BtnVerticalLayout_3->setContentsMargins(0, 0, 0, 0);
    QInitCtrlStyle::InitZoCommonButton(m_btnOk);
    QInitCtrlStyle::InitZoCommonButton(m_btnCancel);
    m_btnOk->setText(QObject::tr("OK"));
    QInitCtrlStyle::fitText(m_btnOk);
    m_btnCancel->setText(QObject::tr("Cancel"));
    QInitCtrlStyle::fitText(m_btnCancel);
    m_btnOk->setDefault(true);
    connect(m_closeBtn, &QPushButton::clicked, this, &QDialog::close);
    connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::close);
    connect(m_btnOk, &QPushButton::clicked, this, &QPreferencesDlg::OnBtnOk);
    resetControlLocation();
}

void QPreferencesDlg::addPreferWgt(QBasePreferWgt* page, bool flag)
{
    if (!page)
        return;
    page->setParent(m_scrollAreaWidget);
    page->hide();
    page->setMinimumWidth(width() - 88);
    if (page->minimumHeight() < 220)
        page->setMinimumHeight(220);
    m_listLayout->addWidget(page);
    // The page area lies between the title band with the tab row and the
    // button band; a page taller than it would open cut off at the bottom
    // (the Advanced page's last group), so the dialog grows to the tallest.
    const QMargins m = m_vLayout->contentsMargins();
    const int chrome = m.top() + m.bottom() + 25 + m_vLayout->spacing();
    if (chrome + page->minimumHeight() > height())
        setFixedHeight(chrome + page->minimumHeight());
    // Every page fills the area, so none ends above a band of its colour.
    for (QBasePreferWgt* shown : m_scrollAreaWidget->findChildren<QBasePreferWgt*>(QString(), Qt::FindDirectChildrenOnly))
        shown->setMinimumHeight(height() - chrome);

    auto* button = new QPreferBtn(this);
    button->setPreferWgt(page, flag);
    button->setButtonImage(QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_tab.png")), true);
    button->setTextColor(QColor(64, 64, 64), QColor(64, 64, 64), QColor(80, 99, 195), QInitCtrlStyle::disabledText());
    button->setCheckable(true);
    QInitCtrlStyle::InitFont(button, 13);
    QInitCtrlStyle::InitPalette(button, QPalette::WindowText, QInitCtrlStyle::text());
    button->setFixedSize(87, 25);
    m_btnHLayout->addWidget(button);
    connect(button, &QAbstractButton::clicked, this, &QPreferencesDlg::OnPreferBtn);
    m_buttons.append(button);
    if (!m_current)
        OnSelectBtn(0);
}

void QPreferencesDlg::OnPreferBtn()
{
    const int index = m_buttons.indexOf(qobject_cast<QPreferBtn*>(sender()));
    if (index >= 0)
        OnSelectBtn(index);
}

void QPreferencesDlg::OnSelectBtn(int nIndex)
{
    if (nIndex < 0 || nIndex >= m_buttons.size())
        return;
    if (m_current) {
        m_current->setChecked(false);
        m_current->setEnabled(true);
        m_current->preferWgt()->hide();
    }
    m_current = m_buttons.at(nIndex);
    m_current->setChecked(true);
    m_current->setEnabled(false);
    m_current->preferWgt()->show();
}

void QPreferencesDlg::OnBtnOk()
{
    for (QPreferBtn* button : m_buttons)
        button->preferWgt()->saveSetting();
    accept();
}

void QPreferencesDlg::resetControlLocation()
{
    QZOStandardDialog::resetControlLocation();
    if (!m_btnOk)
        return;
    const int w = width();
    const int h = height();
    m_btnCancel->move(w - 28 - m_btnCancel->width(), h - 58 + (50 - m_btnCancel->height()) / 2);
    m_btnOk->move(w - 44 - m_btnOk->width() - m_btnCancel->width(), h - 58 + (50 - m_btnOk->height()) / 2);
}
