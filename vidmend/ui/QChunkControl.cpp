#include "QChunkControl.h"

void QChunkControl::addControl(QWidget* widget, controlType type)
{
    if (!widget)
        return;
    auto record = std::make_unique<QChunkControlAttribute>();
    record->type = type;
    m_records[widget] = std::move(record);
}

QChunkControlAttribute* QChunkControl::getControlAttribute(QWidget* widget) const
{
    const auto it = m_records.find(widget);
    return it == m_records.end() ? nullptr : it->second.get();
}
