// Playback controller with a live equalizer.
//
// A player owns the playback device that pulls a reader through an algorithm
// graph, and manages the device's filter chain: a bank of peaking bands
// followed by a bass-boost low shelf (the last element of the bands), named
// presets, and an overall equalizer gain carried by the last filter of the
// chain, which is always a clip filter: it lowers its own gain when the
// output would clip. The gate threshold and the amplifier level of the graph
// are changed under the device's algorithm lock. The audio-output side
// (preload, start, stop, end of data) belongs to a subclass.
//
// The equalizer operations are meant for one thread (the host's); the device
// applies the chain on the audio thread under its own lock.
#ifndef VEXA_SOUNDPLAYER_H
#define VEXA_SOUNDPLAYER_H

#include "BiquadEqBuilder.h"
#include "SoundAlgo.h"
#include "SoundAlgoDevice.h"
#include "SoundReader.h"
#include "vexa_export.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class SoundAlgoAmpliInterface;
class SoundAlgoNoiseGate;

class VEXA_EXPORT SoundPlayer : public QObject {
    Q_OBJECT

public:
    struct Preset {
        QString name;
        std::vector<double> levels; // dB per equalizer band, in band order
    };

    // Without a reader the player has no device and cannot play. With
    // defaultEqualizer, nine bands, the bass boost and fourteen presets.
    SoundPlayer(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer);
    ~SoundPlayer() override;

    virtual void preload() = 0;
    virtual void start() = 0;
    virtual void stop() = 0;

    SoundAlgoDevice* getDevice() const { return mDevice; }
    std::shared_ptr<SoundReader> getReader() const;
    bool isStopped() const { return mStopped; }

    // Nine 1-octave peaking bands at 0 dB (60 Hz .. 15 kHz), the bass boost
    // and the built-in presets.
    void buildDefaultEqualizer();
    // The given bands, then the bass boost.
    void setEqualizer(const std::vector<std::shared_ptr<SoundTools::BiquadEqBuilder>>& eq);
    void setEqualizerPresets(const std::vector<Preset>& presets);

    virtual void switchEq(bool on);
    virtual void switchBassBoost(bool on);
    // Band i's gain in dB (the bass boost is band getEqBandNumber()).
    // Lowering a band gives the clip filter back its full gain.
    virtual void setEqLevel(unsigned int index, double gainDb);
    virtual void setEqFreq(unsigned int index, double freq);
    virtual void setEqWidth(unsigned int index, double width);
    // Equalizer bands, the bass boost not counted.
    virtual unsigned int getEqBandNumber();
    // dB range a user interface offers per band.
    virtual double getEqBandRange();
    // Band i's frequency or gain; 0 beyond the bands.
    virtual double getEqBandFreq(unsigned int index);
    virtual double getEqBandLevel(unsigned int index);
    virtual bool hasEqualizer() const;
    virtual bool hasBassBoost() const;
    virtual QStringList getEqPresets() const;
    // Linear gain of the last filter of the chain.
    virtual void setEqGain(double gain);
    // The gain the clip filter is at now (clipping protection may have
    // lowered it).
    virtual double getEqGain() const;
    // Applies a preset's levels to the equalizer bands; an unknown index or a
    // preset with too few levels changes nothing.
    virtual void setEqPreset(unsigned int index);

    bool isEqualizerOn() const { return mEqOn; }
    bool isBassBoostOn() const { return mBassBoostOn; }

    // The gate and the amplifier belong to the graph given to the
    // constructor; the player only keeps the pointers.
    void setNoiseGate(SoundAlgoNoiseGate* gate) { mNoiseGate = gate; }
    void setAmplifier(SoundAlgoAmpliInterface* amplifier) { mAmplifier = amplifier; }
    void setGateLevel(double thresholdDb);
    void setAmpLevel(double levelDb);

public slots:
    virtual void endOfData() = 0;

signals:
    void playingStarting();
    void playerLoaded();
    void playingStarted();
    void playingHasFinished(bool atEnd);
    void playingProgress(double seconds);

protected:
    // Band index of the last filter of the chain.
    unsigned int lastFilterRank() const;
    void buildFilter(unsigned int index);
    void rebuildFilter();
    void replaceFilter(unsigned int index, bool resetGain);

    int mProgressTicks = 0;
    SoundAlgoDevice* mDevice = nullptr;
    bool mStopped = true;

private:
    std::shared_ptr<SoundTools::Filter> makeFilter(unsigned int index);
    void addBassBoost();

    bool mEqOn = false;
    bool mBassBoostOn = false;
    double mEqGain = 1.0;
    std::vector<Preset> mPresets;
    SoundAlgoAmpliInterface* mAmplifier = nullptr;
    SoundAlgoNoiseGate* mNoiseGate = nullptr;
    std::vector<std::shared_ptr<SoundTools::BiquadEqBuilder>> mBands;
};

#endif
