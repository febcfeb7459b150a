#include "QProjectConfig.h"

struct QProjectConfig::Private {
    QString companyName;
    QString projectName;
    QString projectShortName;
    QString projectVersionName;
    int dlgTop = 22;
    int dlgBottom = 50;
    QMargins margins{0, 0, 0, 0};
    QFont font;
};

QProjectConfig* QProjectConfig::s_instance = nullptr;

QProjectConfig::QProjectConfig() : d(new Private) {}
QProjectConfig::~QProjectConfig() = default;

QProjectConfig* QProjectConfig::getProjectConfig()
{
    if (!s_instance)
        s_instance = new QProjectConfig;
    return s_instance;
}

void QProjectConfig::releaseProjectConfig()
{
    delete s_instance;
    s_instance = nullptr;
}

QString QProjectConfig::companyName() const { return d->companyName; }
void QProjectConfig::setCompanyName(const QString& name) { d->companyName = name; }
QString QProjectConfig::projectName() const { return d->projectName; }
void QProjectConfig::setProjectName(const QString& name) { d->projectName = name; }
QString QProjectConfig::projectShortName() const { return d->projectShortName; }
void QProjectConfig::setProjectShortName(const QString& name) { d->projectShortName = name; }
QString QProjectConfig::projectVersionName() const { return d->projectVersionName; }
void QProjectConfig::setProjectVersionName(const QString& name) { d->projectVersionName = name; }
QFont QProjectConfig::font() const { return d->font; }
void QProjectConfig::setFont(const QFont& font) { d->font = font; }

QMargins QProjectConfig::getTransparentMargins() const { return d->margins; }
void QProjectConfig::setTransparentMargins(int m) { d->margins = QMargins(m, m, m, m); }
void QProjectConfig::setTransparentMargins(int left, int top, int right, int bottom)
{
    d->margins = QMargins(left, top, right, bottom);
}
void QProjectConfig::setTransparentMargins(const QMargins& margins) { d->margins = margins; }

void QProjectConfig::setDlgTopAndBottom(int top, int bottom)
{
    d->dlgTop = top;
    d->dlgBottom = bottom;
}
int QProjectConfig::dlgTop() const { return d->dlgTop; }
int QProjectConfig::dlgBottom() const { return d->dlgBottom; }
