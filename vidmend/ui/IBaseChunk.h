// One row of an item view: fixed attributes in members, the check state and
// the date in the typed store so that derived rows and models share one
// interface for them. Text members hold UTF-8.
#ifndef VIDMEND_IBASECHUNK_H
#define VIDMEND_IBASECHUNK_H

#include "QDataStorage.h"

#include <cstdint>
#include <memory>
#include <string>

class QMutex;
class QChunkControl;

class IBaseChunk : public QDataStorage {
public:
    // withLock: the row gets a mutex of its own for callers that share it
    // between threads; no operation of the row takes it by itself.
    explicit IBaseChunk(bool withLock = false);
    ~IBaseChunk() override;
    IBaseChunk(const IBaseChunk&) = delete;
    IBaseChunk& operator=(const IBaseChunk&) = delete;

    static constexpr const char* kCheckKey = "Item_check_key";
    static constexpr const char* kDateKey = "CHUNK_DATE_KEY";

    // Qt's check states: 0 unchecked, 1 partially checked, 2 checked.
    virtual void SetCheck(int state);
    virtual int GetCheck();
    virtual void setCheckEnable(bool on) { m_checkEnable = on; }
    virtual bool getCheckEnable() { return m_checkEnable; }
    virtual void SetTitle(std::string title) { m_title = std::move(title); }
    virtual std::string GetTitle() { return m_title; }
    virtual void SetID(int id) { m_id = id; }
    virtual int GetID() { return m_id; }
    virtual void SetOwner(void* owner) { m_owner = owner; }
    virtual void* GetOwner() { return m_owner; }
    virtual void setDate(std::string date);
    virtual std::string getDate();
    virtual void setHash(std::string hash) { m_hash = std::move(hash); }
    virtual std::string getHash() { return m_hash; }
    virtual void setLocation(std::string location) { m_location = std::move(location); }
    virtual std::string getLocation() { return m_location; }
    virtual void setEnable(bool on) { m_enable = on; }
    virtual bool getEnable() { return m_enable; }
    virtual void SetFilterId(std::string id) { m_filterId = std::move(id); }
    virtual std::string GetFilterId() { return m_filterId; }
    virtual void setItemSearchText(std::string text) { m_searchText = std::move(text); }
    virtual std::string getItemSearchText() { return m_searchText; }
    virtual void setImage(std::string image) { m_image = std::move(image); }
    virtual std::string GetImage() { return m_image; }
    virtual void setThumbnailImage(std::string image) { m_thumbnail = std::move(image); }
    virtual std::string getThumbnailImage() { return m_thumbnail; }
    virtual void SetImageLen(int length) { m_imageLen = length; }
    virtual int GetImageLen() { return m_imageLen; }
    virtual void setData(void* data) { m_data = data; }
    virtual void* getData() { return m_data; }
    virtual void setIsDeleted(bool deleted) { m_deleted = deleted; }
    virtual bool isDeleted() { return m_deleted; }
    virtual void setSortValue(double value) { m_sortValue = value; }
    virtual double getSortValue() const { return m_sortValue; }
    virtual void setControlShow(bool on) { m_controlShow = on; }
    virtual bool getControlShow() { return m_controlShow; }
    virtual void setToolTipText(std::string text) { m_toolTip = std::move(text); }
    virtual std::string getToolTipText() { return m_toolTip; }
    virtual void setItemMaskImage(std::string image) { m_maskImage = std::move(image); }
    virtual std::string getItemMakeImage() { return m_maskImage; }
    // Identifier, owner and title back to their initial values; the rest
    // and the store are kept.
    virtual void Reset();
    virtual bool remove() { return true; }

    void Lock();
    void UnLock();
    // Bit n of the mask is column n; columns from 32 on are always enabled.
    void setColumnEnable(int column, bool on);
    bool getColumnEnable(int column) const;
    // The row's records of the widgets drawn in its cells, made on first use.
    QChunkControl* getChunkControl();

private:
    int32_t m_id = 0;
    void* m_owner = nullptr;
    bool m_checkEnable = true;
    bool m_enable = true;
    std::string m_image;
    std::string m_thumbnail;
    int32_t m_imageLen = 0;
    std::string m_location;
    std::string m_hash;
    std::string m_title;
    std::string m_filterId;
    std::string m_toolTip;
    std::string m_maskImage;
    uint32_t m_columnEnable = 0xFFFFFFFFu;
    std::unique_ptr<QMutex> m_lock;
    std::unique_ptr<QChunkControl> m_chunkControl;
    void* m_data = nullptr;
    bool m_deleted = false;
    std::string m_searchText;
    bool m_controlShow = true;
    double m_sortValue = 0.0;
};

#endif
