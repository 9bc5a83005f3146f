#include "SoundReaderSndfile.h"

#include "detail/FileNameSplitter.h"
#include "detail/TagStore.h"

#include <QRegularExpression>
#include <sndfile.h>

#include <cstring>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

struct SoundReaderSndfile::Private {
    SNDFILE* handle = nullptr;
    SF_INFO info{};
    QString fileName;
    std::string context; // the file name, as the context of error texts
    std::vector<double> scratch;
    std::vector<short> shorts; // 16-bit samples before their conversion
};

namespace {
// Frames of a multichannel file folded per libsndfile call, which bounds the
// scratch memory whatever the block size.
constexpr unsigned int kFoldChunk = 16384;
} // namespace

SoundReaderSndfile::SoundReaderSndfile()
    : d(new Private)
{
    d->info.samplerate = 44100;
    d->info.channels = 2;
}

SoundReaderSndfile::~SoundReaderSndfile()
{
    close();
}

bool SoundReaderSndfile::isOpen() const
{
    return d->handle != nullptr;
}

unsigned int SoundReaderSndfile::getChannelNum() const
{
    return static_cast<unsigned int>(d->info.channels);
}

SoundTools::Status SoundReaderSndfile::open(QString fileName)
{
    close();
    resetAtEnd();
    mOffset = 0;
    const std::string context = fileName.toStdString();
    SF_INFO info{};
    SNDFILE* handle = sf_open(fileName.toLocal8Bit().constData(), SFM_READ, &info);
    if (!handle) {
        const char* text = sf_strerror(nullptr);
        return failWith(QString::fromLocal8Bit(text ? text : "Unable to open file for reading"), context.c_str());
    }
    // A header can claim anything; refuse what cannot be decoded as audio.
    if (info.samplerate <= 0 || info.channels <= 0) {
        sf_close(handle);
        return failWith(QStringLiteral("Invalid sample rate or channel count"), context.c_str());
    }
    d->handle = handle;
    d->info = info;
    d->fileName = fileName;
    d->context = context;
    return SoundTools::StatusOk;
}

void SoundReaderSndfile::close()
{
    if (!d->handle)
        return;
    sf_close(d->handle);
    d->handle = nullptr;
    d->fileName.clear();
    d->scratch.clear();
    d->scratch.shrink_to_fit();
}

unsigned int SoundReaderSndfile::getFrameNB()
{
    // A truncated Ogg file reports INT64_MAX frames: clamp rather than wrap.
    if (d->info.frames <= 0)
        return 0;
    return static_cast<unsigned int>(std::min<sf_count_t>(d->info.frames, 0xffffffff));
}

unsigned int SoundReaderSndfile::getSampleRate()
{
    return static_cast<unsigned int>(d->info.samplerate);
}

void SoundReaderSndfile::rewind()
{
    if (!d->handle)
        return;
    resetAtEnd();
    const double position = std::floor(getSampleRate() * mStartPoint + 0.5);
    int64_t offset = 0;
    if (position >= 0.0 && position < static_cast<double>(getFrameNB()))
        offset = static_cast<int64_t>(position);
    // A seek that fails (a damaged file shorter than its header says) leaves
    // the file where it was: restart from the beginning instead.
    if (sf_seek(d->handle, offset, SEEK_SET) < 0) {
        offset = 0;
        sf_seek(d->handle, 0, SEEK_SET);
    }
    mOffset = static_cast<int>(offset);
}

namespace {

QString formatName(int format)
{
    SF_FORMAT_INFO info;
    std::memset(&info, 0, sizeof(info));
    info.format = format;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) != 0 || !info.name)
        return QString();
    return QString::fromUtf8(info.name);
}

} // namespace

QString SoundReaderSndfile::getContainerName() const
{
    return d->handle ? formatName(d->info.format & SF_FORMAT_TYPEMASK) : QString();
}

QString SoundReaderSndfile::getCodecName() const
{
    return d->handle ? formatName(d->info.format & SF_FORMAT_SUBMASK) : QString();
}

SoundTools::SoundFormat SoundReaderSndfile::getInputFormat()
{
    switch (d->info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return SoundTools::PCM8;
    case SF_FORMAT_PCM_16:
        return SoundTools::PCM16;
    case SF_FORMAT_PCM_24:
        return SoundTools::PCM24;
    case SF_FORMAT_PCM_32:
        return SoundTools::PCM32;
    case SF_FORMAT_FLOAT:
        return SoundTools::Float;
    case SF_FORMAT_DOUBLE:
        return SoundTools::Double;
    default:
        return SoundTools::PCM16;
    }
}

unsigned int SoundReaderSndfile::read(unsigned int frames, double* dst)
{
    if (!d->handle || frames == 0)
        return 0;
    const int channels = d->info.channels;
    sf_count_t done = 0;
    if (channels == 2 && (d->info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
        // 16-bit stereo, the common case: the samples are read as they are
        // stored and scaled here by 1/32768 (exact: a power of two), as
        // libsndfile scales them, in chunks that stay in the cache.
        const unsigned int chunk = std::min(frames, kFoldChunk);
        d->shorts.resize(2 * static_cast<size_t>(chunk));
        constexpr double scale = 1.0 / 32768.0;
        while (done < frames) {
            const sf_count_t want = std::min<sf_count_t>(chunk, frames - done);
            const sf_count_t got = sf_readf_short(d->handle, d->shorts.data(), want);
            if (got <= 0)
                break;
            const short* src = d->shorts.data();
            double* out = dst + 2 * done;
            for (sf_count_t i = 0; i < 2 * got; ++i)
                out[i] = src[i] * scale;
            done += got;
            if (got < want)
                break;
        }
    } else if (channels == 2) {
        done = sf_readf_double(d->handle, dst, frames);
    } else if (channels == 1) {
        // Read the mono samples into the first half of dst, then spread them
        // from the end so that no sample is overwritten before it is copied.
        done = sf_readf_double(d->handle, dst, frames);
        for (sf_count_t i = done - 1; i >= 0; --i) {
            const double v = dst[i];
            dst[2 * i] = v;
            dst[2 * i + 1] = v;
        }
    } else {
        const unsigned int chunk = std::min(frames, kFoldChunk);
        d->scratch.resize(static_cast<size_t>(chunk) * static_cast<size_t>(channels));
        while (done < frames) {
            const sf_count_t want = std::min<sf_count_t>(chunk, frames - done);
            const sf_count_t got = sf_readf_double(d->handle, d->scratch.data(), want);
            if (got <= 0)
                break;
            const double* src = d->scratch.data();
            double* out = dst + 2 * done;
            for (sf_count_t i = 0; i < got; ++i, src += channels, out += 2) {
                out[0] = src[0];
                out[1] = src[1];
            }
            done += got;
            if (got < want)
                break;
        }
    }
    if (done < 0)
        done = 0;
    if (sf_error(d->handle) > 0) {
        const char* text = sf_strerror(d->handle);
        if (text)
            setError(QString::fromLocal8Bit(text), d->context.c_str());
    }
    return static_cast<unsigned int>(done);
}

bool SoundReaderSndfile::getTags(SoundIDTag& tags)
{
    if (!d->handle)
        return false;
    // WAV, FLAC and Ogg Vorbis tags, whole, through TagLib; libsndfile's five
    // text slots for the other formats it reads.
    SoundIDTag read;
    bool found = false;
    bool viaTagLib = false;
    vexa::detail::TagContainer container = vexa::detail::TagContainer::Wav;
    switch (d->info.format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
        viaTagLib = true;
        break;
    case SF_FORMAT_FLAC:
        viaTagLib = true;
        container = vexa::detail::TagContainer::Flac;
        break;
    case SF_FORMAT_OGG:
        viaTagLib = (d->info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS;
        container = vexa::detail::TagContainer::OggVorbis;
        break;
    default:
        break;
    }
    if (viaTagLib) {
        found = vexa::detail::readFileTags(d->fileName, container, read);
    } else {
        const struct {
            int id;
            std::string SoundIDTag::*field;
        } tagSlots[] = {
            {SF_STR_TITLE, &SoundIDTag::title},     {SF_STR_ALBUM, &SoundIDTag::album},
            {SF_STR_DATE, &SoundIDTag::year},       {SF_STR_ARTIST, &SoundIDTag::artist},
            {SF_STR_COMMENT, &SoundIDTag::comment}, {SF_STR_GENRE, &SoundIDTag::genre},
            {SF_STR_TRACKNUMBER, &SoundIDTag::track},
        };
        for (const auto& slot : tagSlots) {
            const char* text = sf_get_string(d->handle, slot.id);
            if (text && *text) {
                read.*slot.field = text;
                found = true;
            }
        }
    }
    if (found)
        tags = read;
    if (!read.track.empty())
        return found;
    // Without a track tag, a number of at most three digits that leads the
    // file's name and is followed by a separator ("07 - Song.wav"; not
    // "Symphony No. 9.wav", "1999 live.wav" or a number in a folder name).
    static const QRegularExpression trackNumber(QStringLiteral("^(?<trackNumber>[0-9]{1,3})[._,;:\\s-]"));
    const vexa::detail::FileNameSplitter name(d->fileName);
    const QRegularExpressionMatch match = trackNumber.match(QString::fromLocal8Bit(name.fileName.c_str()));
    if (match.hasMatch())
        tags.track = match.captured(QStringLiteral("trackNumber")).toLocal8Bit().toStdString();
    return found;
}
