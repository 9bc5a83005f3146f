#include "SoundAlgoSelectChannel.h"

SoundAlgoSelectChannel::SoundAlgoSelectChannel(int selected, int inputs)
    : SoundAlgoMulti(inputs, true)
    , mSelected(selected)
{
}

SoundAlgoSelectChannel::~SoundAlgoSelectChannel() = default;

SoundTools::Status SoundAlgoSelectChannel::initOutputBuffer(const LoopContext&)
{
    if (mSelected < 0 || static_cast<size_t>(mSelected) >= mInBuffers.size()) {
        return failWith(QStringLiteral("Selected input %1 out of range: the node has %2 inputs")
                     .arg(mSelected)
                     .arg(mInBuffers.size()),
                 "SoundAlgoSelectChannel::initOutputBuffer");
    }
    if (!mInBuffers[static_cast<size_t>(mSelected)])
        return SoundTools::StatusError;
    mOutBuffers[0] = mInBuffers[static_cast<size_t>(mSelected)];
    return SoundTools::StatusOk;
}

// The selected buffer is positioned and filled by its producer.
void SoundAlgoSelectChannel::setOutOrigin()
{
}

void SoundAlgoSelectChannel::updateOutput(unsigned int)
{
}

SoundTools::Status SoundAlgoSelectChannel::process()
{
    return SoundTools::StatusOk;
}
