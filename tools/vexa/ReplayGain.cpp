#include "ReplayGain.h"

#include "Console.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <taglib/flacfile.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <cmath>

std::vector<TrackGain> trackGains(const QStringList& files, const std::vector<SoundRef<SoundAlgoLoudness>>& nodes)
{
    std::vector<TrackGain> tracks;
    for (size_t i = 0; i < nodes.size(); ++i) {
        TrackGain t;
        t.file = files.value(static_cast<int>(i));
        t.figures = figuresOf(*nodes[i]);
        t.gainDb = kReplayGainReferenceLufs - t.figures.integratedLufs;
        t.peak = t.figures.truePeak;
        tracks.push_back(t);
    }
    return tracks;
}

AlbumGain albumGain(const std::vector<SoundRef<SoundAlgoLoudness>>& nodes)
{
    std::vector<const SoundAlgoLoudness*> measured;
    for (const SoundRef<SoundAlgoLoudness>& n : nodes)
        measured.push_back(n.get());
    AlbumGain album;
    album.loudnessLufs = SoundAlgoLoudness::albumLoudness(measured);
    album.measured = std::isfinite(album.loudnessLufs);
    album.gainDb = kReplayGainReferenceLufs - album.loudnessLufs;
    album.peak = SoundAlgoLoudness::albumPeak(measured, true);
    return album;
}

namespace {

std::string gainTag(double db)
{
    return strf("%.2f dB", db).toStdString();
}

std::string peakTag(double linear)
{
    return strf("%.6f", linear).toStdString();
}

// TXXX frames of these names (in any case) replaced by new ones.
void setUserTexts(TagLib::ID3v2::Tag* tag, const std::vector<std::pair<std::string, std::string>>& tags)
{
    for (const auto& [key, value] : tags) {
        const TagLib::String name(key, TagLib::String::Latin1);
        const TagLib::ID3v2::FrameList frames = tag->frameList("TXXX");
        for (TagLib::ID3v2::Frame* f : frames) {
            auto* text = dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(f);
            if (text && text->description().upper() == name)
                tag->removeFrame(f);
        }
        auto* frame = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::Latin1);
        frame->setDescription(name);
        frame->setText(TagLib::String(value, TagLib::String::Latin1));
        tag->addFrame(frame);
    }
}

void setComments(TagLib::Ogg::XiphComment* comment, const std::vector<std::pair<std::string, std::string>>& tags)
{
    for (const auto& [key, value] : tags)
        comment->addField(TagLib::String(key, TagLib::String::Latin1), TagLib::String(value, TagLib::String::Latin1), true);
}

// An existing ID3v2.3 tag stays 2.3, for the players that read no other.
TagLib::ID3v2::Version id3Version(TagLib::ID3v2::Tag* tag)
{
    return tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

} // namespace

std::vector<std::pair<std::string, std::string>> replayGainTags(const TrackGain& track, const AlbumGain& album)
{
    std::vector<std::pair<std::string, std::string>> tags = {
        {"REPLAYGAIN_TRACK_GAIN", gainTag(track.gainDb)},
        {"REPLAYGAIN_TRACK_PEAK", peakTag(track.peak)},
    };
    if (album.measured) {
        tags.emplace_back("REPLAYGAIN_ALBUM_GAIN", gainTag(album.gainDb));
        tags.emplace_back("REPLAYGAIN_ALBUM_PEAK", peakTag(album.peak));
    }
    return tags;
}

bool writeReplayGainTags(const QString& file, const std::vector<std::pair<std::string, std::string>>& tags,
                         QString& error)
{
    const QString ext = QFileInfo(file).suffix().toLower();
    const QByteArray name = QFile::encodeName(file);
    bool saved = false;
    if (ext == QLatin1String("flac")) {
        TagLib::FLAC::File f(name.constData(), false);
        if (f.isValid()) {
            setComments(f.xiphComment(true), tags);
            saved = f.save();
        }
    } else if (ext == QLatin1String("ogg")) {
        TagLib::Ogg::Vorbis::File f(name.constData(), false);
        if (f.isValid()) {
            setComments(f.tag(), tags);
            saved = f.save();
        }
    } else if (ext == QLatin1String("mp3")) {
        TagLib::MPEG::File f(name.constData(), false);
        if (f.isValid()) {
            TagLib::ID3v2::Tag* tag = f.ID3v2Tag(true);
            setUserTexts(tag, tags);
            // Only the ID3v2 tag changes; an ID3v1 or APE tag stays as it is.
            saved = f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, id3Version(tag), TagLib::File::DoNotDuplicate);
        }
    } else if (ext == QLatin1String("wav")) {
        TagLib::RIFF::WAV::File f(name.constData(), false);
        if (f.isValid()) {
            TagLib::ID3v2::Tag* tag = f.ID3v2Tag();
            setUserTexts(tag, tags);
            saved = f.save(TagLib::RIFF::WAV::File::ID3v2, TagLib::File::StripNone, id3Version(tag));
        }
    } else {
        error = QStringLiteral("%1 : vexa tags .flac, .ogg, .mp3 and .wav files").arg(file);
        return false;
    }
    if (!saved)
        error = QStringLiteral("%1 : cannot write the ReplayGain tags").arg(file);
    return saved;
}

void dropReplayGainTags(SoundIDTag& tags)
{
    for (auto i = tags.others.begin(); i != tags.others.end();) {
        if (QString::fromStdString(i->first).startsWith(QLatin1String("REPLAYGAIN_"), Qt::CaseInsensitive))
            i = tags.others.erase(i);
        else
            ++i;
    }
}

QByteArray replayGainText(const std::vector<TrackGain>& tracks, const AlbumGain& album)
{
    QByteArray text;
    for (const TrackGain& t : tracks) {
        if (!t.figures.hasLoudness()) {
            text += strf("%s: %s, not tagged\n", qUtf8Printable(t.file), qUtf8Printable(t.figures.missingReason()));
            continue;
        }
        text += strf("%s: %.2f LUFS, track gain %.2f dB, peak %.6f%s\n", qUtf8Printable(t.file),
                     t.figures.integratedLufs, t.gainDb, t.peak, t.tagged ? "" : " (not tagged)");
    }
    if (album.measured)
        text += strf("album: %.2f LUFS, album gain %.2f dB, peak %.6f\n", album.loudnessLufs, album.gainDb, album.peak);
    return text;
}

QByteArray replayGainJson(const std::vector<TrackGain>& tracks, const AlbumGain& album)
{
    QJsonArray list;
    for (const TrackGain& t : tracks) {
        const bool loud = t.figures.hasLoudness();
        list.append(QJsonObject{{"file", t.file},
                                {"loudness_lufs", levelJson(t.figures.integratedLufs)},
                                {"loudness_range_lu", std::round(t.figures.rangeLu * 100) / 100},
                                {"true_peak_dbtp", levelJson(t.figures.truePeakDbtp)},
                                {"track_gain_db", loud ? levelJson(t.gainDb) : QJsonValue()},
                                {"track_peak", std::round(t.peak * 1e6) / 1e6},
                                {"tagged", t.tagged}});
    }
    QJsonValue albumValue;
    if (album.measured) {
        albumValue = QJsonObject{{"loudness_lufs", levelJson(album.loudnessLufs)},
                                 {"album_gain_db", levelJson(album.gainDb)},
                                 {"album_peak", std::round(album.peak * 1e6) / 1e6}};
    }
    return QJsonDocument(QJsonObject{{"tracks", list}, {"album", albumValue}}).toJson();
}
