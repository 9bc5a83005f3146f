// The conversion of the device's double frames to 16-bit PCM, against
// values worked out by hand: a sample s gives trunc(s * 32768) within
// [-32768, 32767], NaN gives 0.
#include "detail/Pcm16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using vexa::detail::storeStereoPcm16;
using vexa::detail::toPcm16;

TEST(Pcm16, SamplesAreTruncatedTowardZeroAndSaturated)
{
    const double step = 1.0 / 32768.0;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double in;
        int16_t out;
    };
    const Case cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {0.5, 16384},
        {-0.5, -16384},
        {32767 * step, 32767},
        {-32767 * step, -32767},
        {1.0, 32767}, // +full scale has no 16-bit value: the largest one
        {-1.0, -32768},
        {1.5, 32767},
        {-1.5, -32768},
        {inf, 32767},
        {-inf, -32768},
        {0.5 * step, 0}, // half a step goes to the step nearer zero
        {-0.5 * step, 0},
        {1.5 * step, 1},
        {-1.5 * step, -1},
        {32766.5 * step, 32766},
        {-32767.5 * step, -32767},
        {std::nan(""), 0},
        {-std::nan(""), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(toPcm16(c.in), c.out) << "sample " << c.in;
}

TEST(Pcm16, FramesAreInterleavedLittleEndian)
{
    const SoundTools::StereoFrame<double> frames[] = {{1.0, -1.0}, {-1.0 / 32768.0, 258.0 / 32768.0}};
    std::vector<char> bytes(8, 0x55);
    storeStereoPcm16(frames, 2, bytes.data());
    // 32767, -32768, -1, 258 (0x0102), low byte first.
    const std::vector<unsigned char> expected = {0xff, 0x7f, 0x00, 0x80, 0xff, 0xff, 0x02, 0x01};
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()), expected);
}
