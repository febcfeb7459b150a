// How wide a control must be for its own text: the windows' fixed sizes
// are measured against it in the font the desktop really has.
#pragma once

#include <QAbstractButton>
#include <QFontMetricsF>
#include <QLabel>
#include <QTextDocument>
#include <QWidget>

#include "QZOBaseBoxDraw.h"

#include <cmath>

// What a control's text needs across its width: a drawn button centres it
// between a few pixels of its rim, a check box or radio puts it after its
// mark, a label of fixed size has only its text.
inline int Needed(QWidget* w, QString* text)
{
    // Exact widths, rounded up: a text a fraction of a pixel wider than its
    // place is drawn elided.
    const QFontMetricsF metrics(w->font());
    if (auto* box = dynamic_cast<QZOBaseBoxDraw*>(w)) {
        *text = static_cast<QAbstractButton*>(w)->text();
        return box->textRect().x() + int(std::ceil(metrics.horizontalAdvance(*text)));
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        *text = button->text();
        return int(std::ceil(metrics.horizontalAdvance(*text))) + 2 * 6;
    }
    if (auto* label = qobject_cast<QLabel*>(w)) {
        *text = label->text();
        if (label->textFormat() == Qt::RichText || Qt::mightBeRichText(*text) || label->wordWrap())
            return 0;
        return int(std::ceil(metrics.horizontalAdvance(*text)));
    }
    return 0;
}

// Every control shown in w whose text does not fit: "text: needed/width".
inline QStringList TextsCut(QWidget* w)
{
    QStringList cut;
    for (QWidget* child : w->findChildren<QWidget*>()) {
        if (!child->isVisibleTo(w))
            continue;
        QString text;
        const int needed = Needed(child, &text);
        if (!text.isEmpty() && needed > child->width())
            cut << QStringLiteral("%1: %2/%3").arg(text).arg(needed).arg(child->width());
    }
    return cut;
}
