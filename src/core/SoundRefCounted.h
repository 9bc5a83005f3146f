// Intrusive reference count shared by owners of graph nodes. The count starts
// at 1, the reference of whoever created the object.
#ifndef VEXA_SOUNDREFCOUNTED_H
#define VEXA_SOUNDREFCOUNTED_H

#include "vexa_export.h"

#include <cstdint>
#include <utility>

class VEXA_EXPORT SoundRefCounted {
public:
    SoundRefCounted() = default;
    SoundRefCounted(const SoundRefCounted&) : mRefCount(1) {}
    SoundRefCounted& operator=(const SoundRefCounted&) { return *this; }
    virtual ~SoundRefCounted();

    void addRef() { ++mRefCount; }
    // Drops one reference; deletes the object when it was the last one.
    // Returns true when the object was deleted.
    bool release();
    int32_t getRefCount() const { return mRefCount; }

private:
    int32_t mRefCount = 1;
};

// A handle holding one reference to a reference-counted object, dropped
// when the handle goes. Constructed from a pointer it takes over the
// caller's reference (a new node's first one); shared() adds one of its own.
// Copies add a reference, moves hand it on, take() gives it to the caller.
template <class T>
class SoundRef {
public:
    SoundRef() = default;
    explicit SoundRef(T* object) : mObject(object) {}
    static SoundRef shared(T* object)
    {
        if (object)
            object->addRef();
        return SoundRef(object);
    }
    SoundRef(const SoundRef& other) : mObject(other.mObject)
    {
        if (mObject)
            mObject->addRef();
    }
    SoundRef(SoundRef&& other) noexcept : mObject(other.take()) {}
    SoundRef& operator=(SoundRef other) noexcept
    {
        std::swap(mObject, other.mObject);
        return *this;
    }
    ~SoundRef() { reset(); }

    T* get() const { return mObject; }
    T* operator->() const { return mObject; }
    T& operator*() const { return *mObject; }
    explicit operator bool() const { return mObject != nullptr; }

    // The reference passes to the caller, who releases it.
    T* take()
    {
        T* object = mObject;
        mObject = nullptr;
        return object;
    }
    // Drops the reference held and takes over the caller's on `object`.
    void reset(T* object = nullptr)
    {
        T* old = mObject;
        mObject = object;
        if (old)
            old->release();
    }

private:
    T* mObject = nullptr;
};

#endif
