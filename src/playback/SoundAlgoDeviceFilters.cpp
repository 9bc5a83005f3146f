// The device's live filter list and its algorithm lock. The list is guarded
// by the state lock, under which readData runs the filters too: the kernels
// keep state (history, clip gain) that gain changes and filtering both write.
#include "SoundAlgoDevice.h"

#include "detail/SyncAnnotations.h"

#include <QDebug>

using vexa::detail::ReadLocker;
using vexa::detail::WriteLocker;

void SoundAlgoDevice::addFilter(std::shared_ptr<SoundTools::Filter> filter)
{
    WriteLocker lock(mStateLock);
    mFilters.push_back(std::move(filter));
}

void SoundAlgoDevice::setFilter(unsigned int index, std::shared_ptr<SoundTools::Filter> filter)
{
    WriteLocker lock(mStateLock);
    if (index >= mFilters.size()) {
        qDebug() << "Error in setFilter fsize=" << mFilters.size() << "," << index;
        return;
    }
    mFilters[index] = std::move(filter);
}

void SoundAlgoDevice::setFilters(std::vector<std::shared_ptr<SoundTools::Filter>> filters)
{
    WriteLocker lock(mStateLock);
    mFilters.swap(filters);
}

void SoundAlgoDevice::clearFilters()
{
    WriteLocker lock(mStateLock);
    mFilters.clear();
}

bool SoundAlgoDevice::hasFilters() const
{
    ReadLocker lock(mStateLock);
    return !mFilters.empty();
}

unsigned int SoundAlgoDevice::getFilterNumber() const
{
    ReadLocker lock(mStateLock);
    return static_cast<unsigned int>(mFilters.size());
}

std::shared_ptr<SoundTools::Filter> SoundAlgoDevice::getFilter(unsigned int index) const
{
    ReadLocker lock(mStateLock);
    return index < mFilters.size() ? mFilters[index] : nullptr;
}

double SoundAlgoDevice::getFilterGain(unsigned int index) const
{
    ReadLocker lock(mStateLock);
    if (index >= mFilters.size() || !mFilters[index])
        return 1.0;
    return mFilters[index]->getGain();
}

void SoundAlgoDevice::resetFilterGain(unsigned int index)
{
    WriteLocker lock(mStateLock);
    if (index < mFilters.size() && mFilters[index])
        mFilters[index]->setGain(1.0);
}

void SoundAlgoDevice::lockAlgo()
{
    vexa::detail::lockWrite(mAlgoLock);
}

void SoundAlgoDevice::unlockAlgo()
{
    vexa::detail::unlockWrite(mAlgoLock);
}
