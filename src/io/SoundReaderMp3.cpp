#include "SoundReaderMp3.h"

#include "detail/TagStore.h"

#include <QFile>

#include <QDebug>
#include <mpg123.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

struct SoundReaderMp3::Private {
    mpg123_handle* handle = nullptr;
    unsigned int sampleRate = 0;
    unsigned int channels = 0;  // the file's own
    bool floatOutput = false;   // decoded to 32-bit float, else to 16-bit
    off_t length = 0;           // frames that can be read
    std::vector<unsigned char> pcm; // decode buffer, 2 samples per frame
    unsigned int pcmFrames = 0;
    std::string context; // the file name, as the context of error texts
};

namespace {

// ID3v1 genres with the Winamp extensions; the last entry is empty.
const char* const kGenres[149] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz", "Metal",
    "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno", "Industrial",
    "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno", "Ambient", "Trip-Hop", "Vocal",
    "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip",
    "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop",
    "Instrumental Rock", "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk",
    "Eurodance", "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap",
    "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes",
    "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll",
    "Hard Rock", "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech",
    "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove",
    "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad", "Rhythmic Soul",
    "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella", "Euro-House", "Dance Hall", "Goa",
    "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie", "Britpop", "Negerpunk", "Polsk Punk",
    "Beat", "Christian Gangsta Rap", "Heavy Metal", "Black Metal", "Crossover", "Contemporary Christian",
    "Christian Rock", "Merengue", "Salsa", "Thrash Metal", "Anime", "Jpop", "Synthpop", ""};

// UTF-8 text up to its first zero byte (at most `size` bytes), in the local
// 8-bit encoding.
std::string localText(const char* text, size_t size)
{
    if (!text)
        return std::string();
    const size_t length = strnlen(text, size);
    return QString::fromUtf8(text, static_cast<int>(length)).toLocal8Bit().toStdString();
}

std::string localText(const mpg123_string* s)
{
    if (!s || !s->p || s->fill == 0)
        return std::string();
    return localText(s->p, s->fill);
}

QString mpgError(mpg123_handle* handle, int code)
{
    if (code == MPG123_ERR && handle)
        return QString::fromLocal8Bit(mpg123_strerror(handle));
    // The end of the data before any frame: nothing in the file is MPEG audio.
    if (code == MPG123_DONE || code == MPG123_NEED_MORE)
        return QStringLiteral("No MPEG audio frame found");
    return QString::fromLocal8Bit(mpg123_plain_strerror(code));
}

} // namespace

SoundReaderMp3::SoundReaderMp3()
    : d(new Private)
{
    mpg123_init();
}

SoundReaderMp3::~SoundReaderMp3()
{
    close();
}

void SoundReaderMp3::init()
{
    mpg123_init();
}

bool SoundReaderMp3::isOpen() const
{
    return d->handle != nullptr;
}

namespace {

// The size an ID3v2 tag at the start of the file claims (header, body and
// footer), or 0 when there is none. libmpg123 allocates a tag's claimed size
// before reading it: a damaged size would make it ask for up to 256 MiB.
quint64 leadingId3v2Size(const QByteArray& head)
{
    if (head.size() < 10 || !head.startsWith("ID3"))
        return 0;
    quint64 body = 0;
    for (int i = 6; i < 10; ++i) {
        const unsigned char b = static_cast<unsigned char>(head[i]);
        if (b & 0x80)
            return 0; // not a syncsafe size: not a tag libmpg123 would take
        body = (body << 7) | b;
    }
    const bool footer = static_cast<unsigned char>(head[5]) & 0x10;
    return 10 + body + (footer ? 10 : 0);
}

} // namespace

SoundTools::Status SoundReaderMp3::open(QString fileName)
{
    close();
    resetAtEnd();
    mOffset = 0;
    d->context = fileName.toStdString();
    {
        QFile file(fileName);
        if (file.open(QIODevice::ReadOnly)) {
            const quint64 tag = leadingId3v2Size(file.read(10));
            if (tag > static_cast<quint64>(file.size())) {
                return failWith(QStringLiteral("ID3v2 tag of %1 bytes in a file of %2 bytes").arg(tag).arg(file.size()),
                                d->context.c_str());
            }
        }
    }
    int err = MPG123_OK;
    mpg123_handle* handle = mpg123_new(nullptr, &err);
    if (!handle) {
        return failWith(QString::fromLocal8Bit(mpg123_plain_strerror(err)), d->context.c_str());
    }
    // Mono is decoded to two equal channels; the decoder's own notices on
    // damaged streams are reported through our results instead.
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_FORCE_STEREO | MPG123_QUIET, 0.0);
    // Floating point, as the decoder computes it: samples beyond full scale
    // (loud masters decode above it) survive, with no 16-bit rounding.
    // 16-bit where this libmpg123 has no float output.
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    mpg123_format_none(handle);
    bool floatOutput = true;
    for (size_t i = 0; i < rateCount; ++i)
        floatOutput = floatOutput && mpg123_format(handle, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32) == MPG123_OK;
    if (!floatOutput) {
        mpg123_format_none(handle);
        for (size_t i = 0; i < rateCount; ++i)
            mpg123_format(handle, rates[i], MPG123_STEREO, MPG123_ENC_SIGNED_16);
    }
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    err = mpg123_open(handle, fileName.toLocal8Bit().constData());
    if (err == MPG123_OK)
        err = mpg123_getformat(handle, &rate, &channels, &encoding);
    if (err != MPG123_OK) {
        const QString text = mpgError(handle, err);
        mpg123_close(handle);
        mpg123_delete(handle);
        return failWith(text, d->context.c_str());
    }
    d->handle = handle;
    d->sampleRate = static_cast<unsigned int>(rate);
    d->floatOutput = encoding == MPG123_ENC_FLOAT_32;
    if (encoding != MPG123_ENC_SIGNED_16 && !d->floatOutput) {
        setError(QStringLiteral("Only 16 bits mp3 supported"), d->context.c_str());
        close();
        return SoundTools::StatusError;
    }
    // The decoder is told to deliver stereo; the stream's own mode says mono.
    mpg123_frameinfo frame;
    d->channels = mpg123_info(handle, &frame) == MPG123_OK && frame.mode == MPG123_M_MONO ? 1u : 2u;
    // The exact length, by scanning. A file that ends before the length its
    // information frame declares (a cut file) loses the gapless trimming in
    // the scan, and its samples would start late by the codec's delay: it is
    // opened again, unscanned, and its length is the scanned one less that
    // delay (the encoder's, from the frame, and libmpg123's 529 samples).
    const off_t declared = mpg123_length(handle);
    long encoderDelay = -1;
    mpg123_getstate(handle, MPG123_ENC_DELAY, &encoderDelay, nullptr);
    mpg123_scan(handle);
    d->length = mpg123_length(handle);
    if (encoderDelay >= 0 && declared > 0 && d->length < declared) {
        mpg123_close(handle);
        if (mpg123_open(handle, fileName.toLocal8Bit().constData()) != MPG123_OK
            || mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK) {
            setError(mpgError(handle, MPG123_ERR), d->context.c_str());
            close();
            return SoundTools::StatusError;
        }
        d->length = std::max<off_t>(0, d->length - encoderDelay - 529);
    }
    return SoundTools::StatusOk;
}

void SoundReaderMp3::close()
{
    if (!d->handle)
        return;
    mpg123_close(d->handle);
    mpg123_delete(d->handle);
    d->handle = nullptr;
}

unsigned int SoundReaderMp3::getFrameNB()
{
    if (!d->handle)
        return 0;
    if (d->length <= 0)
        return 0;
    return static_cast<unsigned int>(std::min<off_t>(d->length, 0xffffffff));
}

unsigned int SoundReaderMp3::getSampleRate()
{
    return d->sampleRate;
}

void SoundReaderMp3::rewind()
{
    if (!d->handle)
        return;
    resetAtEnd();
    const unsigned int length = getFrameNB();
    double position = std::floor(getSampleRate() * mStartPoint + 0.5);
    if (!(position >= 0.0))
        position = 0.0;
    if (position > length) {
        qDebug() << "rewind too wide " << position << " " << length;
        position = length;
    }
    const int offset = static_cast<int>(std::min(position, 2147483647.0));
    const off_t reached = mpg123_seek(d->handle, offset, SEEK_SET);
    mOffset = reached >= 0 ? static_cast<int>(reached) : offset;
}

unsigned int SoundReaderMp3::read(unsigned int frames, double* dst)
{
    if (!d->handle || frames == 0)
        return 0;
    const size_t frameBytes = d->floatOutput ? 2 * sizeof(float) : 2 * sizeof(int16_t);
    if (frames != d->pcmFrames) {
        d->pcmFrames = frames;
        d->pcm.assign(frameBytes * frames, 0);
    }
    unsigned char* const out = d->pcm.data();
    const size_t wanted = static_cast<size_t>(frames) * frameBytes;
    size_t filled = 0;
    int code = MPG123_OK;
    // The decoder may stop early on a format notice; go on until the block
    // is full, the stream ends or an error occurs.
    while (filled < wanted) {
        size_t done = 0;
        code = mpg123_read(d->handle, out + filled, wanted - filled, &done);
        filled += done;
        if (code == MPG123_NEW_FORMAT)
            continue;
        if (code != MPG123_OK || done == 0)
            break;
    }
    const unsigned int n = static_cast<unsigned int>(filled / frameBytes);
    if (code != MPG123_OK) {
        qDebug() << "mp3 reader return code " << code;
        qDebug() << "count " << n;
    }
    if (d->floatOutput) {
        const float* src = reinterpret_cast<const float*>(out);
        std::copy(src, src + 2 * static_cast<size_t>(n), dst);
    } else {
        const int16_t* src = reinterpret_cast<const int16_t*>(out);
        for (size_t i = 0; i < 2 * static_cast<size_t>(n); ++i)
            dst[i] = src[i] * 3.0517578125e-5;
    }
    return n;
}

unsigned int SoundReaderMp3::getChannelNum() const
{
    return d->handle ? d->channels : 0u;
}

unsigned int SoundReaderMp3::getBitrate() const
{
    if (!d->handle)
        return 0;
    mpg123_frameinfo info;
    if (mpg123_info(d->handle, &info) != MPG123_OK)
        return 0;
    if (info.vbr == MPG123_CBR)
        return static_cast<unsigned int>(info.bitrate);
    return info.vbr == MPG123_ABR ? static_cast<unsigned int>(info.abr_rate) : 0u;
}

bool SoundReaderMp3::getTags(SoundIDTag& tags)
{
    if (!d->handle)
        return false;
    // An ID3v2 tag, whole (every frame, other tags included), through TagLib.
    if (vexa::detail::readFileTags(QString::fromStdString(d->context), vexa::detail::TagContainer::Mpeg, tags))
        return true;
    mpg123_id3v1* v1 = nullptr;
    mpg123_id3v2* v2 = nullptr;
    if (mpg123_id3(d->handle, &v1, &v2) != MPG123_OK)
        return false;
    // libmpg123 hands out an empty ID3v2 record for files without that tag:
    // a tag that holds no frame counts as absent.
    const bool hasV2 = v2 && (v2->texts > 0 || v2->comments > 0 || v2->extras > 0);
    if (hasV2) {
        tags.title = localText(v2->title);
        tags.artist = localText(v2->artist);
        tags.album = localText(v2->album);
        tags.year = localText(v2->year);
        tags.comment = localText(v2->comment);
        tags.genre = localText(v2->genre);
        for (size_t i = 0; i < v2->texts; ++i) {
            if (std::memcmp(v2->text[i].id, "TRCK", 4) == 0) {
                tags.track = localText(&v2->text[i].text);
                break;
            }
        }
        return true;
    }
    if (v1) {
        tags.title = localText(v1->title, sizeof(v1->title));
        tags.artist = localText(v1->artist, sizeof(v1->artist));
        tags.album = localText(v1->album, sizeof(v1->album));
        tags.year = localText(v1->year, sizeof(v1->year));
        tags.comment = localText(v1->comment, sizeof(v1->comment));
        tags.genre = v1->genre < 149 ? kGenres[v1->genre] : "Unknown";
        return true;
    }
    return false;
}
