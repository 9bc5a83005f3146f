// Intrusive reference count shared by owners of graph nodes. The count starts
// at 1, the reference of whoever created the object.
#ifndef VEXA_SOUNDREFCOUNTED_H
#define VEXA_SOUNDREFCOUNTED_H

#include "vexa_export.h"

#include <cstdint>

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

#endif
