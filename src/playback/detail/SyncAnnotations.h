// Lock operations of the playback device, with the hand-offs they make
// visible to ThreadSanitizer.
//
// Qt's QReadWriteLock waits on futexes inside an uninstrumented Qt, so
// ThreadSanitizer sees no ordering through it and would report every block
// handed from the worker to the audio thread as a race. In a build with
// VEXA_TSAN_ANNOTATIONS each release is marked with __tsan_release and each
// successful acquisition with __tsan_acquire on the primitive's address.
// Readers of a read/write lock release into a second address that only writers
// acquire, so that two readers are not ordered with each other (a write made
// under a read lock would still be reported). Without the option these are
// plain calls.
#ifndef VEXA_PLAYBACK_DETAIL_SYNCANNOTATIONS_H
#define VEXA_PLAYBACK_DETAIL_SYNCANNOTATIONS_H

#include <QReadWriteLock>

#ifdef VEXA_TSAN_ANNOTATIONS
extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
#endif

namespace vexa::detail {

#ifdef VEXA_TSAN_ANNOTATIONS
inline void hbAcquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
inline void hbRelease(const void* p) { __tsan_release(const_cast<void*>(p)); }
#else
inline void hbAcquire(const void*) {}
inline void hbRelease(const void*) {}
#endif

// The address readers of a lock release into.
inline const void* readerSide(const QReadWriteLock& lock)
{
    return reinterpret_cast<const char*>(&lock) + 1;
}

class ReadLocker {
public:
    explicit ReadLocker(QReadWriteLock& lock) : mLock(lock)
    {
        mLock.lockForRead();
        hbAcquire(&mLock);
    }
    ~ReadLocker()
    {
        hbRelease(readerSide(mLock));
        mLock.unlock();
    }
    ReadLocker(const ReadLocker&) = delete;
    ReadLocker& operator=(const ReadLocker&) = delete;

private:
    QReadWriteLock& mLock;
};

inline void lockWrite(QReadWriteLock& lock)
{
    lock.lockForWrite();
    hbAcquire(&lock);
    hbAcquire(readerSide(lock));
}

inline void unlockWrite(QReadWriteLock& lock)
{
    hbRelease(&lock);
    lock.unlock();
}

class WriteLocker {
public:
    explicit WriteLocker(QReadWriteLock& lock) : mLock(lock) { lockWrite(mLock); }
    ~WriteLocker() { unlockWrite(mLock); }
    WriteLocker(const WriteLocker&) = delete;
    WriteLocker& operator=(const WriteLocker&) = delete;

private:
    QReadWriteLock& mLock;
};

} // namespace vexa::detail

#endif
