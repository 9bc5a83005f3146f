// Forwards one of its inputs without copying: its only output is the
// selected input buffer itself.
#ifndef VEXA_SOUNDALGOSELECTCHANNEL_H
#define VEXA_SOUNDALGOSELECTCHANNEL_H

#include "SoundAlgoMulti.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoSelectChannel : public SoundAlgoMulti {
    Q_OBJECT

public:
    SoundAlgoSelectChannel(int selected, int inputs);
    ~SoundAlgoSelectChannel() override;

    SoundTools::Status process() override;

protected:
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void setOutOrigin() override;
    void updateOutput(unsigned int consumed) override;

    int mSelected;
};

#endif
