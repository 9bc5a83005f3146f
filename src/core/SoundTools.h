// Value types shared by every part of the library: operation results, file
// sample formats, filter band kinds and the stereo frame that all sample
// arrays are made of.
#ifndef VEXA_SOUNDTOOLS_H
#define VEXA_SOUNDTOOLS_H

namespace SoundTools {

// Result of most operations of the library.
enum Status {
    StatusOk = 0,                // success; a processing loop goes on
    StatusError = 1,             // failure; the reason is in the last error text
    StatusStopped = 2,           // interrupted by SoundAlgo::pleaseStop
    StatusFinished = 3,          // input exhausted and last block processed
    StatusFinishedContinuous = 4 // end of input of a device in continuous playing
};

// Sample format of an audio file.
enum SoundFormat {
    PCM8 = 0,
    PCM16 = 1, // the default when a reader cannot tell
    PCM24 = 2,
    PCM32 = 3,
    Float = 4,
    Double = 5
};

// Kind of filter band, shared by every filter builder and equalizer. Not
// every builder supports every kind (the biquad equalizer has no band stop,
// the first-order builder only low and high pass).
enum FilterType : int {
    LowPass = 0,
    BandPass = 1,
    BandStop = 2,
    HighPass = 3,
    LowShelf = 4,
    BandEq = 5,   // peaking band
    HighShelf = 6
};

// One stereo sample: left then right, nothing else. An array of
// StereoFrame<double> has exactly the layout of interleaved stereo doubles.
template <typename T>
struct StereoFrame {
    T left;
    T right;
};

static_assert(sizeof(StereoFrame<double>) == 2 * sizeof(double),
              "StereoFrame must be two packed values");

} // namespace SoundTools

#endif
