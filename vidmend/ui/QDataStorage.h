// A small store of typed values under text keys. Every value is kept as the
// raw bytes of its type in the machine's own byte order; a string is kept
// unchanged. A typed read never looks past the bytes that were stored: a
// value shorter than the type reads as 0.
#ifndef VIDMEND_QDATASTORAGE_H
#define VIDMEND_QDATASTORAGE_H

#include <cstdint>
#include <map>
#include <string>

class QDataStorage {
public:
    QDataStorage() = default;
    // Virtual: rows derived from it are deleted through base pointers.
    virtual ~QDataStorage() = default;

    virtual void setStringValue(std::string key, std::string value);
    virtual void setIntValue(std::string key, int value);
    virtual void setInt64Value(std::string key, int64_t value);
    virtual void setBoolValue(std::string key, bool value);
    virtual void setDoubleValue(std::string key, double value);
    virtual std::string getStringValue(std::string key);
    virtual int getIntValue(std::string key);
    virtual int64_t getInt64Value(std::string key);
    virtual bool getBoolValue(std::string key);
    virtual double getDoubleValue(std::string key);

private:
    template <typename T>
    void setRaw(std::string&& key, const T& value);
    // The first sizeof(T) stored bytes, or a zero T when the key is missing
    // or holds fewer bytes than that.
    template <typename T>
    T getRaw(const std::string& key) const;

    std::map<std::string, std::string> m_values;
};

#endif
