// An object shared by counted references: it is made holding one, and the
// release of the last one deletes it.
#ifndef VIDMEND_QREFCOUNTED_H
#define VIDMEND_QREFCOUNTED_H

class QRefCounted {
public:
    QRefCounted() = default;
    QRefCounted(const QRefCounted&) = delete;
    QRefCounted& operator=(const QRefCounted&) = delete;
    virtual ~QRefCounted() = default;

    int addRef() { return ++m_refCount; }

    // Deletes the object when the count reaches 0; returns the new count.
    int release()
    {
        // The count is read before the object may be gone.
        const int count = --m_refCount;
        if (count == 0)
            delete this;
        return count;
    }

private:
    int m_refCount = 1;
};

#endif
