// The processing steps of `vexa process`: one table gives both the options
// that build its chain (in the order given on the command line) and how
// each option adds its node or sets what the chain needs.
#ifndef VEXA_TOOL_PROCESSSTEPS_H
#define VEXA_TOOL_PROCESSSTEPS_H

#include "CommandLine.h"

#include <vexa/vexa.h>

#include <QString>

#include <utility>
#include <vector>

// What the steps build, and what they need to build it.
struct ChainBuild {
    QString input;               // the file, for the detection pass of --level
    unsigned int sampleRate = 0; // for the sizes of the FFT filters
    bool progress = true;
    const ParsedArgs* args = nullptr; // for the settings the steps read as a whole

    // The design of the FIR and FFT filters (--transition, --attenuation).
    double transition = 0;
    double attenuation = 60;
    SoundRef<SoundAlgoComposite> chain;
    // Biquad sections given one after the other go into one equalizer
    // node, which runs them together, frame by frame.
    SoundAlgoFilterBiquad* openEq = nullptr;
    // The detection pass of --level, shared by the amplifiers that follow it.
    SoundRef<RMSStepDetector> detector;
    // Frequencies asked for ("--eq 100:3", 100), checked against the
    // file's Nyquist frequency once it is open.
    std::vector<std::pair<QString, double>> frequencies;
    double start = 0; // --start
    // --loudness and --true-peak: the output brought to this integrated
    // loudness, its true peak held at or below the ceiling.
    bool normalise = false;
    double loudnessLufs = 0;
    double truePeakDbtp = -1.0;
    QString error;
};

struct ChainStep {
    enum Kind {
        Section, // a biquad section, joining the open equalizer
        Node,    // a node of its own
        Setting, // read where it stands (--start, --multiband, --loudness)
        Design,  // read before the chain is built, the last one given (--transition)
    };
    OptionSpec option;
    Kind kind;
    bool frequency; // its value starts with frequencies to check against the Nyquist frequency
    // ExitOk, or an exit status with build.error set.
    int (*add)(ChainBuild& build, const QString& name, const QString& value);
};

const std::vector<ChainStep>& chainSteps();
// The options of the steps, in the table's order.
OptionList chainOptions();

// Builds build.chain from the options of `args` in the order given (a
// bypass when none adds a node). ExitOk, or an exit status with
// build.error set.
int buildChain(const ParsedArgs& args, ChainBuild& build);

#endif
