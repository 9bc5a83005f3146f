// Double stereo frames to interleaved signed 16-bit little-endian PCM, the
// format the audio output is opened with.
//
// A sample is scaled by 32768 and truncated toward zero, so that every
// 16-bit step v / 32768 comes back as exactly v and half a step goes to the
// step nearer zero. Full scale and beyond saturate to 32767 and -32768 (+1.0
// has no 16-bit value of its own). NaN, from a filter that diverged, becomes
// 0: silence rather than a full-scale click.
#ifndef VEXA_PLAYBACK_DETAIL_PCM16_H
#define VEXA_PLAYBACK_DETAIL_PCM16_H

#include "SoundTools.h"

#include <cstddef>
#include <cstdint>

namespace vexa::detail {

inline int16_t toPcm16(double sample)
{
    const double s = sample * 32768.0;
    if (s >= 32767.0)
        return 32767;
    if (s <= -32768.0)
        return -32768;
    if (s != s) // NaN fails both comparisons above
        return 0;
    return static_cast<int16_t>(s);
}

inline void storeLE16(char* p, int16_t v)
{
    const auto u = static_cast<uint16_t>(v);
    p[0] = static_cast<char>(u & 0xff);
    p[1] = static_cast<char>(u >> 8);
}

// Writes 4 bytes a frame, left then right.
inline void storeStereoPcm16(const SoundTools::StereoFrame<double>* frames, size_t count, char* dst)
{
    for (size_t i = 0; i < count; ++i) {
        storeLE16(dst + 4 * i, toPcm16(frames[i].left));
        storeLE16(dst + 4 * i + 2, toPcm16(frames[i].right));
    }
}

} // namespace vexa::detail

#endif
