#include "SoundRefCounted.h"

SoundRefCounted::~SoundRefCounted() = default;

bool SoundRefCounted::release()
{
    if (mRefCount == 1) {
        mRefCount = 0;
        delete this;
        return true;
    }
    --mRefCount;
    return false;
}
