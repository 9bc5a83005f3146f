#include "IoTestUtil.h"

#include <QFile>

#include <algorithm>
#include <cmath>

namespace iotest {

std::vector<double> music(unsigned int frames, unsigned int sampleRate, double amplitude)
{
    std::vector<double> s(2 * static_cast<size_t>(frames));
    const double w = 2.0 * M_PI / sampleRate;
    for (unsigned int i = 0; i < frames; ++i) {
        const double t = i;
        s[2 * i] = amplitude * (0.5 * std::sin(w * 220.0 * t) + 0.3 * std::sin(w * 1370.0 * t + 0.3) +
                                0.15 * std::sin(w * 4410.0 * t + 1.1));
        s[2 * i + 1] = amplitude * (0.6 * std::sin(w * 330.0 * t + 0.7) + 0.25 * std::sin(w * 2900.0 * t) +
                                    0.1 * std::sin(w * 7000.0 * t + 2.0));
    }
    return s;
}

bool writeAll(SoundWriter& writer, const std::vector<double>& samples, unsigned int block, unsigned int sampleRate,
              unsigned int channels)
{
    const size_t frames = samples.size() / channels;
    auto buffer = SoundBuffer::createNew(sampleRate);
    buffer->alloc(block, static_cast<int>(channels), 1, 1);
    bool failed = false;
    for (size_t pos = 0; pos < frames; pos += block) {
        const unsigned int n = static_cast<unsigned int>(std::min<size_t>(block, frames - pos));
        buffer->setOrigin(static_cast<int>(pos));
        buffer->setFrameNB(n);
        std::copy(samples.begin() + static_cast<std::ptrdiff_t>(channels * pos),
                  samples.begin() + static_cast<std::ptrdiff_t>(channels * (pos + n)), buffer->getRelFrame(0));
        failed = writer.writeBuffer(buffer, 0) || failed;
    }
    return failed;
}

std::vector<double> readAll(SoundReader& reader, unsigned int block)
{
    auto buffer = SoundBuffer::createNew(reader.getSampleRate());
    buffer->alloc(block, 2, 1, 1);
    std::vector<double> out;
    // Bounded: a reader that never ends would otherwise hang the test.
    for (int guard = 0; guard < 100000; ++guard) {
        const unsigned int n = reader.stereoRead(buffer, 0);
        out.insert(out.end(), buffer->getRelFrame(0), buffer->getRelFrame(0) + 2 * static_cast<size_t>(n));
        if (n == 0 || reader.atEnd())
            break;
    }
    return out;
}

double maxAbsDiff(const std::vector<double>& a, const std::vector<double>& b)
{
    double m = 0.0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b, unsigned int ch, unsigned int lag,
                   unsigned int frames)
{
    double ab = 0, aa = 0, bb = 0;
    for (unsigned int i = 0; i < frames; ++i) {
        const size_t ia = 2 * static_cast<size_t>(i) + ch;
        const size_t ib = 2 * static_cast<size_t>(i + lag) + ch;
        if (ia >= a.size() || ib >= b.size())
            break;
        ab += a[ia] * b[ib];
        aa += a[ia] * a[ia];
        bb += b[ib] * b[ib];
    }
    return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
}

unsigned int bestLag(const std::vector<double>& a, const std::vector<double>& b, unsigned int maxLag,
                     unsigned int frames)
{
    unsigned int best = 0;
    double bestValue = -2.0;
    for (unsigned int lag = 0; lag <= maxLag; ++lag) {
        const double c = correlation(a, b, 0, lag, frames);
        if (c > bestValue) {
            bestValue = c;
            best = lag;
        }
    }
    return best;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    return f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

} // namespace iotest
