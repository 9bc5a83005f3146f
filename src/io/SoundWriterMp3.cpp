#include "SoundWriterMp3.h"

#include "detail/TagStore.h"

#include <QFileInfo>

#include "detail/LameApi.h"

#include <QLibrary>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

using vexa::detail::LameApi;
using vexa::detail::lame_t;

int SoundWriterMp3::sLameInit = 0;

namespace {

LameApi gLame{};
QMutex gLameMutex;

struct LibraryName {
    QString name;
    int version; // -1: none
};

std::vector<LibraryName> defaultNames()
{
    return {{QStringLiteral("libmp3lame-0"), -1}, {QStringLiteral("lame_enc"), -1}, {QStringLiteral("mp3lame"), 0}};
}

std::vector<LibraryName> gNames = defaultNames();

// LAME's bound on the bytes one call can emit for `frames` frames.
size_t worstCaseBytes(unsigned int frames)
{
    return static_cast<size_t>(frames) * 5 / 4 + 7200;
}

short toPcm16(double v)
{
    // 0.95 of full scale leaves about 0.45 dB of headroom.
    v = std::max(-1.0, std::min(1.0, v));
    return static_cast<short>(v * 31129.6);
}

template <typename F>
bool resolve(QLibrary& lib, const char* name, F& target)
{
    target = reinterpret_cast<F>(lib.resolve(name));
    return target != nullptr;
}

bool resolveAll(QLibrary& lib, LameApi& api)
{
    // Resolve every function, even after a failure, to find all that lack.
    bool ok = true;
    ok &= resolve(lib, "lame_init", api.init);
    ok &= resolve(lib, "lame_set_brate", api.set_brate);
    ok &= resolve(lib, "lame_set_num_channels", api.set_num_channels);
    ok &= resolve(lib, "lame_set_in_samplerate", api.set_in_samplerate);
    ok &= resolve(lib, "lame_set_mode", api.set_mode);
    ok &= resolve(lib, "lame_set_quality", api.set_quality);
    ok &= resolve(lib, "lame_init_params", api.init_params);
    ok &= resolve(lib, "lame_close", api.close);
    ok &= resolve(lib, "lame_encode_flush", api.encode_flush);
    ok &= resolve(lib, "lame_mp3_tags_fid", api.mp3_tags_fid);
    ok &= resolve(lib, "lame_encode_buffer", api.encode_buffer);
    ok &= resolve(lib, "lame_get_num_channels", api.get_num_channels);
    ok &= resolve(lib, "id3tag_init", api.id3tag_init);
    ok &= resolve(lib, "id3tag_add_v2", api.id3tag_add_v2);
    ok &= resolve(lib, "id3tag_set_title", api.id3tag_set_title);
    ok &= resolve(lib, "id3tag_set_artist", api.id3tag_set_artist);
    ok &= resolve(lib, "id3tag_set_album", api.id3tag_set_album);
    ok &= resolve(lib, "id3tag_set_year", api.id3tag_set_year);
    ok &= resolve(lib, "id3tag_set_comment", api.id3tag_set_comment);
    ok &= resolve(lib, "id3tag_set_track", api.id3tag_set_track);
    ok &= resolve(lib, "id3tag_set_genre", api.id3tag_set_genre);
    ok &= resolve(lib, "lame_set_write_id3tag_automatic", api.set_write_id3tag_automatic);
    return ok;
}

} // namespace

struct SoundWriterMp3::Private {
    FILE* file = nullptr;
    lame_t lame = nullptr;
    bool paramsDone = false; // lame_init_params ran
    bool encoded = false;    // samples went to the encoder since open
    std::vector<unsigned char> mp3Buffer;
    std::vector<short> left;
    std::vector<short> right;
    unsigned int channels = 2;
    unsigned int bitrate = 192;
    SoundIDTag tags;
    bool hasTags = false;
    std::string context; // the file name, as the context of error texts
};

void SoundWriterMp3::_init_lame()
{
    for (const LibraryName& entry : gNames) {
        // The QLibrary object is dropped without unload(): the library stays
        // loaded and the resolved pointers valid for the life of the process.
        QLibrary lib = entry.version >= 0 ? QLibrary(entry.name, entry.version) : QLibrary(entry.name);
        if (!lib.load())
            continue;
        LameApi api{};
        if (resolveAll(lib, api)) {
            gLame = api;
            sLameInit = 1;
            return;
        }
    }
    sLameInit = -1;
}

bool SoundWriterMp3::Init()
{
    QMutexLocker lock(&gLameMutex);
    if (sLameInit == 0)
        _init_lame();
    return sLameInit == 1;
}

bool SoundWriterMp3::IsInit()
{
    QMutexLocker lock(&gLameMutex);
    return sLameInit == 1;
}

void SoundWriterMp3::setLibraryNames(const QStringList& names)
{
    QMutexLocker lock(&gLameMutex);
    gNames.clear();
    for (const QString& name : names)
        gNames.push_back({name, -1});
    sLameInit = 0;
}

void SoundWriterMp3::resetLibraryNames()
{
    QMutexLocker lock(&gLameMutex);
    gNames = defaultNames();
    sLameInit = 0;
}

SoundWriterMp3::SoundWriterMp3(unsigned int sampleRate, unsigned int channels, unsigned int bitrate)
    : SoundWriter(sampleRate)
    , d(new Private)
{
    d->channels = channels;
    d->bitrate = bitrate;
    if (Init())
        makeEncoder();
}

SoundWriterMp3::~SoundWriterMp3()
{
    flushAndClose();
    dropEncoder();
}

bool SoundWriterMp3::makeEncoder()
{
    d->lame = gLame.init();
    d->paramsDone = false;
    if (!d->lame)
        return false;
    gLame.id3tag_init(d->lame);
    gLame.set_brate(d->lame, static_cast<int>(d->bitrate));
    gLame.set_num_channels(d->lame, static_cast<int>(d->channels));
    gLame.set_in_samplerate(d->lame, static_cast<int>(mSampleRate));
    gLame.set_mode(d->lame, 1);
    gLame.set_quality(d->lame, 2);
    // Tags are written by TagLib once the stream is complete.
    gLame.set_write_id3tag_automatic(d->lame, 0);
    return true;
}

void SoundWriterMp3::dropEncoder()
{
    if (d->lame)
        gLame.close(d->lame);
    d->lame = nullptr;
}

unsigned int SoundWriterMp3::getChannelNum() const
{
    return d->lame ? static_cast<unsigned int>(gLame.get_num_channels(d->lame)) : 0u;
}

SoundTools::Status SoundWriterMp3::open(QString fileName)
{
    if (!d->lame) {
        return failWith(QStringLiteral("This version doesn't support mp3 encoding"));
    }
    flushAndClose();
    d->context = fileName.toStdString();
    d->file = std::fopen(fileName.toLocal8Bit().constData(), "w+b");
    if (!d->file) {
        return failWith(QString::fromLocal8Bit(std::strerror(errno)), d->context.c_str());
    }
    if (!startEncoder()) {
        std::fclose(d->file);
        d->file = nullptr;
        return SoundTools::StatusError;
    }
    return SoundTools::StatusOk;
}

bool SoundWriterMp3::startEncoder()
{
    // LAME takes tags only before lame_init_params, and an encoder that has
    // been initialised (or flushed) cannot start again: make a new one.
    if (d->paramsDone) {
        dropEncoder();
        if (!makeEncoder()) {
            setError(QStringLiteral("Unable to initialise the mp3 encoder"), d->context.c_str());
            return false;
        }
    }
    d->encoded = false;
    d->paramsDone = true;
    if (gLame.init_params(d->lame) < 0) {
        setError(QStringLiteral("Invalid mp3 encoder parameters"), d->context.c_str());
        return false;
    }
    return true;
}

void SoundWriterMp3::setTags(const SoundIDTag& tags)
{
    d->tags = tags;
    d->hasTags = true;
}

unsigned int SoundWriterMp3::write(unsigned int frames, double* src)
{
    if (!d->file || !d->lame)
        return 0;
    if (frames > d->left.size()) {
        d->left.resize(frames);
        d->right.resize(frames);
    }
    const size_t needed = worstCaseBytes(frames);
    if (d->mp3Buffer.size() < needed)
        d->mp3Buffer.resize(needed);
    countClipped(src, static_cast<size_t>(frames) * getChannelNum());
    if (getChannelNum() == 1) {
        for (unsigned int i = 0; i < frames; ++i)
            d->left[i] = d->right[i] = toPcm16(src[i]);
    } else {
        for (unsigned int i = 0; i < frames; ++i) {
            d->left[i] = toPcm16(src[2 * i]);
            d->right[i] = toPcm16(src[2 * i + 1]);
        }
    }
    d->encoded = true;
    const int n = gLame.encode_buffer(d->lame, d->left.data(), d->right.data(), static_cast<int>(frames),
                                      d->mp3Buffer.data(), static_cast<int>(d->mp3Buffer.size()));
    if (n < 0) {
        setError(QStringLiteral("mp3 encoder error %1").arg(n), d->context.c_str());
        return 0;
    }
    if (n == 0)
        return frames;
    // Flush at once so that a full disk shows in this block's result and
    // not only when the file is closed.
    if (std::fwrite(d->mp3Buffer.data(), 1, static_cast<size_t>(n), d->file) != static_cast<size_t>(n) ||
        std::fflush(d->file) != 0) {
        setError(QString::fromLocal8Bit(std::strerror(errno)), d->context.c_str());
        return 0;
    }
    return frames;
}

bool SoundWriterMp3::flushAndClose()
{
    if (!d->file)
        return true;
    bool ok = true;
    if (d->lame) {
        if (d->mp3Buffer.size() < worstCaseBytes(0))
            d->mp3Buffer.resize(worstCaseBytes(0));
        const int n = gLame.encode_flush(d->lame, d->mp3Buffer.data(), static_cast<int>(d->mp3Buffer.size()));
        if (n < 0) {
            setError(QStringLiteral("mp3 encoder error %1").arg(n), d->context.c_str());
            ok = false;
        } else if (n > 0 && std::fwrite(d->mp3Buffer.data(), 1, static_cast<size_t>(n), d->file) !=
                                static_cast<size_t>(n)) {
            setError(QString::fromLocal8Bit(std::strerror(errno)), d->context.c_str());
            ok = false;
        }
        // The LAME/Xing information frame, in the place the encoder kept
        // for it at the start of the stream: the encoder's delay and padding
        // and the exact length, so that gapless decoders give back exactly
        // the frames written, aligned.
        if (ok && d->encoded) {
            std::fflush(d->file);
            gLame.mp3_tags_fid(d->lame, d->file);
            if (std::fflush(d->file) != 0) {
                setError(QString::fromLocal8Bit(std::strerror(errno)), d->context.c_str());
                ok = false;
            }
        }
    }
    if (std::fclose(d->file) != 0 && ok) {
        setError(QString::fromLocal8Bit(std::strerror(errno)), d->context.c_str());
        ok = false;
    }
    d->file = nullptr;
    // An ID3v2.4 tag (and an ID3v1 copy) in front of the finished stream.
    if (ok && d->hasTags && !d->tags.empty() && QFileInfo(QString::fromStdString(d->context)).isFile()) {
        QString error;
        if (!vexa::detail::writeFileTags(QString::fromStdString(d->context), vexa::detail::TagContainer::Mpeg, d->tags,
                                        error)) {
            setError(error, d->context.c_str());
            ok = false;
        }
    }
    return ok;
}

void SoundWriterMp3::close()
{
    flushAndClose();
}
