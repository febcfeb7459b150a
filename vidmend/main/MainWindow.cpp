#include "MainWindow.h"

#include "QBaseDrawWidget.h"
#include "QProjectConfig.h"
#include "QZOInitStyleManager.h"
#include "QZOProjectPath.h"

#include <QDialog>
#include <QWidget>

namespace {

// The dialog background the About dialog asks the registry for: the
// application's white page with its shadow, as a nine-grid whose corners
// keep the title band, and its text colour.
void InitBg2(void* widget)
{
    auto* dialog = static_cast<QWidget*>(widget);
    QPalette palette = dialog->palette();
    palette.setColor(QPalette::WindowText, QColor(64, 64, 64));
    dialog->setPalette(palette);
    if (auto* drawn = dynamic_cast<QBaseDrawWidget*>(dialog)) {
        const QImage background(QZOProjectPath::getResourcePath(QString()) + QStringLiteral("/image/background.png"));
        if (!background.isNull()) {
            drawn->changeBackgroundImage(background);
            const QBaseDrawWidget::rectSize corner{65, 65};
            drawn->setGridViewInfo(corner, corner, corner, corner);
        }
    }
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QZOInitMainWindow(parent)
{
    Ui::MainWindow::centralWidget = new QWidget(this);
    Ui::MainWindow::centralWidget->setObjectName(QStringLiteral("centralWidget"));
    setCentralWidget(Ui::MainWindow::centralWidget);
    Init();
}

void MainWindow::InitProjectInfo()
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    if (config->projectName().isEmpty())
        config->setProjectName(QStringLiteral("Brisvale Video Repair"));
    if (config->projectVersionName().isEmpty())
        config->setProjectVersionName(QStringLiteral("1.0.0"));
    config->setTransparentMargins(8);
    QFont font(QStringLiteral("helvetica neue"));
    font.setPixelSize(13);
    config->setFont(font);
    QZOInitStyleManager* styles = QZOInitStyleManager::getInstance();
    QZOProjectPalette palette = styles->projectPalette();
    palette.textColor = QColor(64, 64, 64);
    palette.secondColor = QColor(196, 196, 196);
    palette.thirdColor = QColor(64, 64, 64);
    palette.linkColor = QColor(64, 64, 64);
    styles->setProjectPalette(palette);
    styles->setControlStyleFun(ZO_UI::ZODialogStyle, &InitBg2, QStringLiteral("ZOABOUT_DLG"));
}
