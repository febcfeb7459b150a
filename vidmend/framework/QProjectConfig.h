// The project's configuration: names, window margins and band heights, font.
// One process-wide instance, created on first use, filled by the main window
// at start-up and read by every window and by the path operations.
#ifndef VIDMEND_QPROJECTCONFIG_H
#define VIDMEND_QPROJECTCONFIG_H

#include <QFont>
#include <QMargins>
#include <QString>

#include <memory>

class QProjectConfig {
public:
    static QProjectConfig* getProjectConfig();
    static void releaseProjectConfig();

    QString companyName() const;
    void setCompanyName(const QString& name);
    QString projectName() const;
    void setProjectName(const QString& name);
    QString projectShortName() const;
    void setProjectShortName(const QString& name);
    QString projectVersionName() const;
    void setProjectVersionName(const QString& name);
    QFont font() const;
    void setFont(const QFont& font);

    QMargins getTransparentMargins() const;
    void setTransparentMargins(int m);
    void setTransparentMargins(int left, int top, int right, int bottom);
    void setTransparentMargins(const QMargins& margins);

    void setDlgTopAndBottom(int top, int bottom);
    int dlgTop() const;
    int dlgBottom() const;

private:
    QProjectConfig();
    ~QProjectConfig();
    struct Private;
    std::unique_ptr<Private> d;
    static QProjectConfig* s_instance;
};

#endif
