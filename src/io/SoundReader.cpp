#include "SoundReader.h"

#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "detail/FileNameSplitter.h"

#include <QDebug>
#include <QMessageLogger>
#include <cmath>
#include <iomanip>
#include <sstream>

SoundReader::SoundReader()
{
    qDebug() << "SoundReader" << static_cast<const void*>(this) << "created";
}

SoundReader::~SoundReader()
{
    qDebug() << "SoundReader" << static_cast<const void*>(this) << "deleted";
}

bool SoundReader::getTags(SoundIDTag& /*tags*/)
{
    return false;
}

int SoundReader::getStartOffset()
{
    return static_cast<int>(std::floor(getSampleRate() * mStartPoint + 0.5));
}

double SoundReader::getLength()
{
    const unsigned int rate = getSampleRate();
    if (rate == 0)
        return 0.0;
    return static_cast<double>(getFrameNB()) / static_cast<double>(rate);
}

std::string SoundReader::getLengthString()
{
    return formatLength(getLength());
}

std::string SoundReader::formatLength(double length)
{
    const double hours = std::floor(length / 3600.0);
    const double rest = length - hours * 3600.0;
    const double minutes = std::floor(rest / 60.0);
    const double seconds = rest - minutes * 60.0;
    std::ostringstream os;
    os << std::setfill('0') << std::fixed << std::setw(2) << std::setprecision(0) << hours << ':' << std::setw(2)
       << minutes << ':' << std::setw(6) << std::setprecision(3) << seconds;
    return os.str();
}

unsigned int SoundReader::stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned int margin)
{
    const unsigned int kept = buffer->keepMargin(margin);
    buffer->setOrigin(mOffset - static_cast<int>(kept));
    const int toRead = static_cast<int>(buffer->getFrameNBAllocated()) - static_cast<int>(kept);
    if (toRead <= 0) {
        QMessageLogger().critical("Buffer size smaller than margin !");
        return 0;
    }
    double* dst = buffer->getRelFrame(static_cast<int>(kept));
    const unsigned int n = dst ? read(static_cast<unsigned int>(toRead), dst) : 0u;
    mOffset += static_cast<int>(n);
    if (n < static_cast<unsigned int>(toRead) && !mAtEnd)
        mEndOffset = mOffset;
    buffer->setFrameNB(n + kept);
    // Nothing left: pad with silence so that the frames kept get their
    // look-ahead. A partial read pads nothing (those frames are real and the
    // next read pads after them).
    if (n == 0 && margin > 0) {
        buffer->appendMargin(margin);
        mOffset += static_cast<int>(margin);
    }
    if (n < static_cast<unsigned int>(toRead))
        mAtEnd = true;
    return n;
}

SoundReader* SoundReader::getFromFilename(QString fileName)
{
    const vexa::detail::FileNameSplitter name(fileName);
    if (name.hasExtension("mp3"))
        return new SoundReaderMp3();
    if (name.hasExtension("wav") || name.hasExtension("flac") || name.hasExtension("ogg"))
        return new SoundReaderSndfile();
    return nullptr;
}

bool SoundReader::isRecognized(QString fileName)
{
    const vexa::detail::FileNameSplitter name(fileName);
    return name.hasExtension("mp3") || name.hasExtension("wav") || name.hasExtension("flac") ||
           name.hasExtension("ogg");
}
