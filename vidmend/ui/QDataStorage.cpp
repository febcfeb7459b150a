#include "QDataStorage.h"

#include <cstring>

template <typename T>
void QDataStorage::setRaw(std::string&& key, const T& value)
{
    std::string bytes(sizeof(T), '\0');
    std::memcpy(&bytes[0], &value, sizeof(T));
    m_values[std::move(key)] = std::move(bytes);
}

template <typename T>
T QDataStorage::getRaw(const std::string& key) const
{
    T value{};
    const auto it = m_values.find(key);
    if (it == m_values.end() || it->second.size() < sizeof(T))
        return value;
    std::memcpy(&value, it->second.data(), sizeof(T));
    return value;
}

void QDataStorage::setStringValue(std::string key, std::string value)
{
    m_values[std::move(key)] = std::move(value);
}

void QDataStorage::setIntValue(std::string key, int value)
{
    setRaw(std::move(key), static_cast<int32_t>(value));
}

void QDataStorage::setInt64Value(std::string key, int64_t value)
{
    setRaw(std::move(key), value);
}

void QDataStorage::setBoolValue(std::string key, bool value)
{
    setRaw(std::move(key), static_cast<uint8_t>(value ? 1 : 0));
}

void QDataStorage::setDoubleValue(std::string key, double value)
{
    setRaw(std::move(key), value);
}

std::string QDataStorage::getStringValue(std::string key)
{
    const auto it = m_values.find(key);
    return it == m_values.end() ? std::string() : it->second;
}

int QDataStorage::getIntValue(std::string key)
{
    return getRaw<int32_t>(key);
}

int64_t QDataStorage::getInt64Value(std::string key)
{
    return getRaw<int64_t>(key);
}

bool QDataStorage::getBoolValue(std::string key)
{
    return getRaw<uint8_t>(key) != 0;
}

double QDataStorage::getDoubleValue(std::string key)
{
    return getRaw<double>(key);
}
