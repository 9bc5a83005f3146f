// The level interface of every amplifier of the library (limiter, RMS
// amplifier, multiband amplifiers), through which a player sets and reads
// the amplification. Amplifiers are destroyed as graph nodes, never through
// this interface.
#ifndef VEXA_SOUNDALGOAMPLIINTERFACE_H
#define VEXA_SOUNDALGOAMPLIINTERFACE_H

#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoAmpliInterface {
public:
    // Sets the amplification, in dB.
    virtual void setLevel(double levelDb) = 0;
    // Back to the state at the start of a run: gain at the level, no ramp,
    // counters cleared.
    virtual void reset() = 0;
    // The amplification in dB at a position in seconds (ignored by amplifiers
    // whose gain does not depend on the position).
    virtual double getLevel(double seconds) = 0;
    // A new piece starts.
    virtual void changeSong() = 0;

protected:
    SoundAlgoAmpliInterface() = default;
    SoundAlgoAmpliInterface(const SoundAlgoAmpliInterface&) = default;
    SoundAlgoAmpliInterface& operator=(const SoundAlgoAmpliInterface&) = default;
    ~SoundAlgoAmpliInterface() = default;
};

#endif
