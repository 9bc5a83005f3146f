#include "SoundWriterSndfile.h"

#include "detail/TagStore.h"

#include <QFileInfo>

#include <sndfile.h>

#include <algorithm>

struct SoundWriterSndfile::Private {
    SNDFILE* handle = nullptr;
    SF_INFO info{};
    std::string context; // the file name, as the context of error texts
    QString fileName;
    SoundIDTag tags;
    bool hasTags = false;
};

namespace {

// Ogg Vorbis is handed over in chunks of one second at 44.1 kHz.
constexpr unsigned int kOggChunk = 44100;

int formatCode(SoundTools::SoundFormat format, SoundWriterSndfile::FileType type)
{
    switch (type) {
    case SoundWriterSndfile::WAV:
        switch (format) {
        case SoundTools::PCM8:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
        case SoundTools::PCM24:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        case SoundTools::PCM32:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_32;
        case SoundTools::Float:
            return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        case SoundTools::Double:
            return SF_FORMAT_WAV | SF_FORMAT_DOUBLE;
        default:
            return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        }
    case SoundWriterSndfile::FLAC:
        switch (format) {
        case SoundTools::PCM24:
        case SoundTools::PCM32:
        case SoundTools::Float:
        case SoundTools::Double:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
        default:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        }
    case SoundWriterSndfile::OGG:
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    default:
        return SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU;
    }
}

} // namespace

SoundWriterSndfile::SoundWriterSndfile(unsigned int sampleRate, unsigned int channels, SoundTools::SoundFormat format,
                                       FileType type)
    : SoundWriter(sampleRate)
    , d(new Private)
{
    d->info.samplerate = static_cast<int>(sampleRate);
    d->info.channels = static_cast<int>(channels);
    d->info.format = formatCode(format, type);
}

SoundWriterSndfile::~SoundWriterSndfile()
{
    close();
}

bool SoundWriterSndfile::isOpen() const
{
    return d->handle != nullptr;
}

int SoundWriterSndfile::getFormatCode() const
{
    return d->info.format;
}

unsigned int SoundWriterSndfile::getChannelNum() const
{
    return static_cast<unsigned int>(d->info.channels);
}

SoundTools::Status SoundWriterSndfile::open(QString fileName)
{
    close();
    const std::string context = fileName.toStdString();
    SF_INFO info = d->info;
    SNDFILE* handle = sf_open(fileName.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!handle) {
        const char* text = sf_strerror(nullptr);
        return failWith(QString::fromLocal8Bit(text ? text : "Unable to open file for writing"), context.c_str());
    }
    d->handle = handle;
    d->context = context;
    d->fileName = fileName;
    // Clip rather than wrap values beyond full scale in integer formats.
    sf_command(handle, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return SoundTools::StatusOk;
}

void SoundWriterSndfile::close()
{
    if (!d->handle)
        return;
    const int result = sf_close(d->handle);
    d->handle = nullptr;
    // libsndfile reports little here (it returns 0 after failed writes), but
    // what it does report is passed on.
    if (result != 0) {
        setError(QStringLiteral("Error while closing the file (%1)").arg(result), d->context.c_str());
        return;
    }
    writeTags();
}

void SoundWriterSndfile::setTags(const SoundIDTag& tags)
{
    d->tags = tags;
    d->hasTags = true;
}

// Tags go into the finished file, through TagLib: every field of the record
// and every other tag it carries, in place of what the encoder left there
// (libsndfile names itself in FLAC and Ogg files).
void SoundWriterSndfile::writeTags()
{
    vexa::detail::TagContainer container;
    switch (d->info.format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
        if (!d->hasTags || d->tags.empty())
            return;
        container = vexa::detail::TagContainer::Wav;
        break;
    case SF_FORMAT_FLAC:
        container = vexa::detail::TagContainer::Flac;
        break;
    case SF_FORMAT_OGG:
        container = vexa::detail::TagContainer::OggVorbis;
        break;
    default:
        return; // headerless: no place for tags
    }
    if (!QFileInfo(d->fileName).isFile())
        return; // a device or a pipe keeps no tags
    QString error;
    if (!vexa::detail::writeFileTags(d->fileName, container, d->tags, error))
        setError(error, d->context.c_str());
}

unsigned int SoundWriterSndfile::write(unsigned int frames, double* src)
{
    if (!d->handle)
        return 0;
    sf_count_t done = 0;
    const int sub = d->info.format & SF_FORMAT_SUBMASK;
    if (sub != SF_FORMAT_FLOAT && sub != SF_FORMAT_DOUBLE && sub != SF_FORMAT_VORBIS)
        countClipped(src, static_cast<size_t>(frames) * static_cast<size_t>(d->info.channels));
    if (d->info.format == (SF_FORMAT_OGG | SF_FORMAT_VORBIS)) {
        while (done < frames) {
            const sf_count_t want = std::min<sf_count_t>(kOggChunk, frames - done);
            const sf_count_t got = sf_writef_double(d->handle, src + d->info.channels * done, want);
            if (got > 0)
                done += got;
            if (got < want)
                break;
        }
    } else {
        done = sf_writef_double(d->handle, src, frames);
    }
    if (done < 0)
        done = 0;
    if (sf_error(d->handle) != 0) {
        const char* text = sf_strerror(d->handle);
        if (text)
            setError(QString::fromLocal8Bit(text), d->context.c_str());
    } else if (done < frames) {
        setError(QStringLiteral("Short write: %1 of %2 frames stored").arg(done).arg(frames), d->context.c_str());
    }
    return static_cast<unsigned int>(done);
}
