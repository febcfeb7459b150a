// The per-row records of the widgets a delegate draws into a column's cells:
// whether the widget is hidden in this row, shown only on hover, enabled,
// its progress value and tooltip. One record per widget; a widget added
// again gets a fresh record and the old one is freed.
#ifndef VIDMEND_QCHUNKCONTROL_H
#define VIDMEND_QCHUNKCONTROL_H

#include <QString>

#include <map>
#include <memory>

class QWidget;

enum controlType { ControlButton = 0, ControlProgress = 1 };

struct QChunkControlAttribute {
    bool isHide = false;
    double progressValue = 0;
    bool isHoverShow = false;
    bool isEnable = true;
    QString text;
    controlType type = ControlButton;
};

class QChunkControl {
public:
    void addControl(QWidget* widget, controlType type);
    // The widget's record, for the caller to write; null without one.
    QChunkControlAttribute* getControlAttribute(QWidget* widget) const;

private:
    std::map<QWidget*, std::unique_ptr<QChunkControlAttribute>> m_records;
};

#endif
