#include "SoundWriterMultiFile.h"

#include "SoundReader.h"
#include "detail/FileNameSplitter.h"

#include <QDebug>
#include <algorithm>
#include <ostream>

SoundWriterMultiFile::SoundWriterMultiFile(RMSStepDetector* detector, double minTrackTime, unsigned int sampleRate,
                                           unsigned int channels, unsigned int bitrate, SoundTools::SoundFormat format)
    : SoundWriter(sampleRate)
    , mChannels(channels)
    , mBitrate(bitrate)
    , mDetector(detector)
    , mMinTrackTime(minTrackTime)
    , mFormat(format)
{
    if (mDetector) {
        mDetector->addRef();
        if (mDetector->size(false) > 0)
            mRegion = mDetector->getRegion(0, false);
    }
}

SoundWriterMultiFile::~SoundWriterMultiFile()
{
    delete mCurrent;
    if (isVerbose()) {
        getOStream() << SoundReader::formatLength(static_cast<double>(mTotalFrames) / mSampleRate) << " in "
                     << mTrackNumber - 1 << " file(s) written" << std::endl;
    }
    if (mDetector)
        mDetector->release();
}

SoundTools::Status SoundWriterMultiFile::open(QString fileName)
{
    const vexa::detail::FileNameSplitter parts(fileName);
    mTemplate = fileName;
    mDrive = parts.drive;
    mDirectory = parts.directory;
    mBaseName = parts.baseName;
    mExtension = parts.extension;
    mRooted = mDirectory.empty() && !parts.fullName.empty() && parts.fullName[0] == '/';
    if (mBaseName.empty()) {
        return failWith(QStringLiteral("the name template has no base name"), qPrintable(fileName));
    }
    return SoundTools::StatusOk;
}

void SoundWriterMultiFile::setTags(const SoundIDTag& tags)
{
    mTags = tags;
}

QString SoundWriterMultiFile::trackFileName(int n) const
{
    std::string name;
    if (!mDrive.empty())
        name += mDrive + ":";
    name += mDirectory;
    if (mBaseName.empty())
        return QString();
    if (!mDirectory.empty() || mRooted)
        name += "/";

    std::string base = mBaseName;
    if (n >= 1) {
        // The leading run of digits and separators gives the width and the
        // separator of the number that replaces it.
        size_t run = 0;
        int digits = 0;
        char separator = 0;
        for (; run < base.size(); ++run) {
            const char c = base[run];
            if (c >= '0' && c <= '9')
                ++digits;
            else if (c == '_' || c == '-' || c == ' ')
                separator = c;
            else
                break;
        }
        std::string number = std::to_string(n);
        const size_t width = digits > 0 ? static_cast<size_t>(digits) : 3;
        if (number.size() < width)
            number.insert(0, width - number.size(), '0');
        base = number + (separator ? separator : '-') + base.substr(run);
    }
    name += base;
    if (!mExtension.empty())
        name += "." + mExtension;
    return QString::fromLocal8Bit(name.c_str());
}

SoundTools::Status SoundWriterMultiFile::OpenSegment()
{
    if (mCurrent)
        close();
    const QString name = trackFileName(mTrackNumber);
    mCurrent = SoundWriter::getFromFilename(name, mSampleRate, mBitrate, mFormat);
    if (!mCurrent) {
        return failWith(QStringLiteral("no writer for this file name"), qPrintable(name));
    }
    if (!mTags.empty()) {
        SoundIDTag tags = mTags;
        tags.track = std::to_string(mTrackNumber);
        mCurrent->setTags(tags);
    }
    mStarted = false;
    const SoundTools::Status s = mCurrent->open(name);
    if (s != SoundTools::StatusOk) {
        // The writer's own error text names the file; the number is not used up.
        delete mCurrent;
        mCurrent = nullptr;
    }
    return s;
}

void SoundWriterMultiFile::close()
{
    if (!mCurrent)
        return;
    const int frames = mCurrent->getCurrentOffset();
    if (isVerbose()) {
        getOStream() << "File " << mTrackNumber << " : "
                     << SoundReader::formatLength(static_cast<double>(frames) / mCurrent->getSampleRate()) << " written"
                     << std::endl;
    }
    mTotalFrames += frames;
    mCurrent->close();
    mClipped += mCurrent->getClippedSamples();
    delete mCurrent;
    mCurrent = nullptr;
    ++mTrackNumber;
}

long long SoundWriterMultiFile::comingTrackLength(int pos, unsigned int available) const
{
    long long length = std::max<long long>(static_cast<long long>(mRegion.BeginSample) + mRegion.SampleNb - pos, available);
    const int regions = mDetector->size(false);
    for (int i = mRegionIndex; i < regions; ++i) {
        const RMSStepDetector::Region r = mDetector->getRegion(i, false);
        if (r.IsNoise)
            break;
        length += r.SampleNb;
    }
    return length;
}

// Opens the file of the track that starts at pos, unless the track is too
// short to keep. Returns false when it is skipped or cannot be opened
// (failed then tells which).
bool SoundWriterMultiFile::startTrack(int pos, unsigned int available, bool& failed)
{
    failed = false;
    const long long length = comingTrackLength(pos, available);
    if (static_cast<double>(length) / mSampleRate < mMinTrackTime)
        return false;
    if (OpenSegment() != SoundTools::StatusOk) {
        failed = true;
        return false;
    }
    if (isDebug()) {
        qDebug().noquote() << "Output track ["
                           << QString::fromStdString(SoundReader::formatLength(static_cast<double>(pos) / mSampleRate))
                           << ","
                           << QString::fromStdString(
                                  SoundReader::formatLength(static_cast<double>(pos + length - 1) / mSampleRate))
                           << "]";
    }
    return true;
}

// Writes n frames of the current track; leading digital silence (frames
// whose every sample is 0) is not written but counts in the file's length.
// Returns the frames consumed: n, or fewer when the write failed.
unsigned int SoundWriterMultiFile::writeTrackFrames(unsigned int n, double* src)
{
    unsigned int first = 0;
    if (!mStarted) {
        while (first < n) {
            const double* f = src + static_cast<size_t>(first) * mChannels;
            bool silent = true;
            for (unsigned int c = 0; c < mChannels; ++c)
                silent = silent && f[c] == 0.0;
            if (!silent)
                break;
            ++first;
        }
        if (first < n)
            mStarted = true;
    }
    unsigned int written = 0;
    if (first < n)
        written = writeTo(mCurrent, n - first, src + static_cast<size_t>(first) * mChannels);
    if (written != n - first) {
        advanceOffset(mCurrent, static_cast<int>(first + written));
        return first + written;
    }
    advanceOffset(mCurrent, static_cast<int>(n));
    return n;
}

unsigned int SoundWriterMultiFile::write(unsigned int frames, double* src)
{
    if (!mDetector)
        return 0;
    int pos = mRangeBegin + mCurrentOffset;
    unsigned int consumed = 0;
    const int regions = mDetector->size(false);
    while (frames > 0) {
        long long left = static_cast<long long>(mRegion.BeginSample) + mRegion.SampleNb - pos;
        if (left < 1) {
            if (mRegionIndex < regions) {
                mRegion = mDetector->getRegion(mRegionIndex, false);
                ++mRegionIndex;
                continue;
            }
            left = frames; // frames after the last region belong to it
        }
        const unsigned int n = static_cast<unsigned int>(std::min<long long>(left, frames));

        if (mRegion.IsNoise) {
            close();
        } else {
            bool failed = false;
            if (mCurrent || startTrack(pos, n, failed)) {
                const unsigned int done = writeTrackFrames(n, src);
                if (done != n)
                    return consumed + done;
            } else if (failed) {
                return consumed;
            }
        }
        pos += static_cast<int>(n);
        consumed += n;
        frames -= n;
        src += static_cast<size_t>(n) * mChannels;
    }
    return consumed;
}
