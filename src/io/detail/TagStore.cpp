#include "TagStore.h"

#include <QFile>
#include <QFileInfo>

#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <memory>

namespace vexa::detail {

namespace {

// The record's fields under TagLib's common property names.
const struct {
    const char* key;
    std::string SoundIDTag::*field;
} kFields[] = {
    {"TITLE", &SoundIDTag::title},     {"ARTIST", &SoundIDTag::artist}, {"ALBUM", &SoundIDTag::album},
    {"DATE", &SoundIDTag::year},       {"COMMENT", &SoundIDTag::comment}, {"GENRE", &SoundIDTag::genre},
};

// Where Vorbis comments keep the number of tracks.
const char* const kTotalKeys[] = {"TRACKTOTAL", "TOTALTRACKS"};

// RIFF INFO chunk ids and the properties they hold.
const struct {
    const char* id;
    const char* key;
} kInfoIds[] = {
    {"INAM", "TITLE"},     {"IART", "ARTIST"},    {"IPRD", "ALBUM"},     {"ICRD", "DATE"},
    {"ICMT", "COMMENT"},   {"IGNR", "GENRE"},     {"IPRT", "TRACKNUMBER"}, {"ITRK", "TRACKNUMBER"},
    {"ICOP", "COPYRIGHT"}, {"ILNG", "LANGUAGE"},  {"IENG", "ENGINEER"},  {"ISFT", "ENCODER"},
};

// A property's RIFF INFO id: a known one, or the name itself when it has
// the form of an id (a tag read from another WAV file); else empty.
TagLib::ByteVector infoId(const std::string& key)
{
    for (const auto& entry : kInfoIds) {
        if (key == entry.key)
            return TagLib::ByteVector(entry.id, 4);
    }
    const bool idLike = key.size() == 4 && key[0] == 'I' &&
        std::all_of(key.begin(), key.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
    return idLike ? TagLib::ByteVector(key.data(), 4) : TagLib::ByteVector();
}

std::string infoKey(const TagLib::ByteVector& id)
{
    for (const auto& entry : kInfoIds) {
        if (id == TagLib::ByteVector(entry.id, 4))
            return entry.key;
    }
    return std::string(id.data(), id.size());
}

// Tags that describe the file that carries them, not the piece: an encoder
// name is not copied into a file that another encoder wrote.
bool describesTheFile(const std::string& key)
{
    return key == "ENCODER" || key == "ENCODING";
}

std::string utf8(const TagLib::String& s)
{
    return s.to8Bit(true);
}

TagLib::String fromUtf8(const std::string& s)
{
    return TagLib::String(s, TagLib::String::UTF8);
}

std::string joined(const TagLib::StringList& values)
{
    return utf8(values.toString("; "));
}

// The file's tags as properties; an empty map when it has none.
TagLib::PropertyMap properties(TagLib::File& file, TagContainer container)
{
    if (container == TagContainer::Wav) {
        // Both tags a WAV may carry; ID3v2 wins where both give a value.
        auto& wav = static_cast<TagLib::RIFF::WAV::File&>(file);
        TagLib::PropertyMap map;
        if (wav.hasID3v2Tag())
            map = wav.ID3v2Tag()->properties();
        if (wav.hasInfoTag()) {
            // The INFO texts as they stand ("3/12" stays whole).
            for (const auto& field : wav.InfoTag()->fieldListMap()) {
                const TagLib::String key(infoKey(field.first));
                if (!map.contains(key) && !field.second.isEmpty())
                    map.insert(key, field.second);
            }
        }
        return map;
    }
    if (container == TagContainer::Mpeg) {
        // Only the ID3v2 tag: the reader takes an ID3v1-only file through its
        // decoder's fixed-field reading.
        auto& mpeg = static_cast<TagLib::MPEG::File&>(file);
        return mpeg.hasID3v2Tag() ? mpeg.ID3v2Tag()->properties() : TagLib::PropertyMap();
    }
    return file.properties();
}

std::unique_ptr<TagLib::File> openFile(const QString& path, TagContainer container, bool readAudio)
{
    // Only regular files: a device or a pipe has no tags and may never end.
    if (!QFileInfo(path).isFile())
        return nullptr;
    const QByteArray name = QFile::encodeName(path);
    std::unique_ptr<TagLib::File> file;
    switch (container) {
    case TagContainer::Wav:
        file = std::make_unique<TagLib::RIFF::WAV::File>(name.constData(), readAudio);
        break;
    case TagContainer::Flac:
        file = std::make_unique<TagLib::FLAC::File>(name.constData(), readAudio);
        break;
    case TagContainer::OggVorbis:
        file = std::make_unique<TagLib::Ogg::Vorbis::File>(name.constData(), readAudio);
        break;
    case TagContainer::Mpeg:
        file = std::make_unique<TagLib::MPEG::File>(name.constData(), readAudio);
        break;
    }
    if (!file->isValid())
        return nullptr;
    return file;
}

} // namespace

bool readFileTags(const QString& path, TagContainer container, SoundIDTag& tags)
{
    const std::unique_ptr<TagLib::File> file = openFile(path, container, false);
    if (!file)
        return false;
    TagLib::PropertyMap map = properties(*file, container);
    if (map.isEmpty())
        return false;

    SoundIDTag read;
    // Vorbis comments hold the comment as DESCRIPTION or COMMENT.
    if (!map.contains("COMMENT") && map.contains("DESCRIPTION")) {
        map.insert("COMMENT", map["DESCRIPTION"]);
        map.erase("DESCRIPTION");
    }
    for (const auto& f : kFields) {
        if (map.contains(f.key)) {
            read.*f.field = joined(map[f.key]);
            map.erase(f.key);
        }
    }
    if (map.contains("TRACKNUMBER")) {
        read.track = joined(map["TRACKNUMBER"]);
        map.erase("TRACKNUMBER");
    }
    for (const char* key : kTotalKeys) {
        if (!map.contains(key))
            continue;
        const TagLib::StringList total = map[key];
        if (!read.track.empty() && read.track.find('/') == std::string::npos && !total.isEmpty())
            read.track += "/" + utf8(total.front());
        map.erase(key);
    }
    for (const auto& entry : map) {
        const std::string key = utf8(entry.first);
        if (describesTheFile(key))
            continue;
        std::vector<std::string>& values = read.others[key];
        for (const TagLib::String& v : entry.second)
            values.push_back(utf8(v));
    }
    tags = read;
    return true;
}

bool writeFileTags(const QString& path, TagContainer container, const SoundIDTag& tags, QString& error)
{
    const std::unique_ptr<TagLib::File> file = openFile(path, container, false);
    if (!file) {
        error = QStringLiteral("cannot open the file to write its tags");
        return false;
    }
    TagLib::PropertyMap map;
    for (const auto& entry : tags.others) {
        if (describesTheFile(entry.first))
            continue;
        TagLib::StringList values;
        for (const std::string& v : entry.second)
            values.append(fromUtf8(v));
        map.replace(fromUtf8(entry.first), values);
    }
    for (const auto& f : kFields) {
        if (!(tags.*f.field).empty())
            map.replace(f.key, fromUtf8(tags.*f.field));
    }
    const bool xiph = container == TagContainer::Flac || container == TagContainer::OggVorbis;
    if (xiph && !tags.comment.empty()) {
        // The name Vorbis comment readers (FFmpeg, TagLib) take as the comment.
        map.erase("COMMENT");
        map.replace("DESCRIPTION", fromUtf8(tags.comment));
    }
    if (!tags.track.empty()) {
        // Vorbis comments keep the total apart; ID3 and RIFF INFO keep "3/12".
        const std::string::size_type slash = tags.track.find('/');
        if (xiph && slash != std::string::npos) {
            map.replace("TRACKNUMBER", fromUtf8(tags.track.substr(0, slash)));
            map.replace("TRACKTOTAL", fromUtf8(tags.track.substr(slash + 1)));
        } else {
            map.replace("TRACKNUMBER", fromUtf8(tags.track));
        }
    }

    bool saved = false;
    switch (container) {
    case TagContainer::Wav: {
        auto& wav = static_cast<TagLib::RIFF::WAV::File&>(*file);
        // RIFF INFO for the readers that know only it (libsndfile, most
        // players), ID3v2 for everything, as INFO has no place for most tags.
        TagLib::RIFF::Info::Tag* info = wav.InfoTag();
        for (const auto& field : info->fieldListMap())
            info->removeField(field.first);
        for (const auto& entry : map) {
            const TagLib::ByteVector id = infoId(utf8(entry.first));
            if (!id.isEmpty())
                info->setFieldText(id, entry.second.toString("; "));
        }
        wav.ID3v2Tag()->setProperties(map);
        saved = wav.save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v4);
        break;
    }
    case TagContainer::Mpeg: {
        auto& mpeg = static_cast<TagLib::MPEG::File&>(*file);
        mpeg.ID3v2Tag(true)->setProperties(map);
        mpeg.ID3v1Tag(true)->setProperties(map);
        saved = mpeg.save(TagLib::MPEG::File::ID3v1 | TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers,
                          TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate);
        break;
    }
    case TagContainer::Flac: {
        auto& flac = static_cast<TagLib::FLAC::File&>(*file);
        // Every field the encoder left goes: the comment holds only ours.
        TagLib::Ogg::XiphComment* comment = flac.xiphComment(true);
        comment->removeAllFields();
        comment->setProperties(map);
        saved = flac.save();
        break;
    }
    case TagContainer::OggVorbis: {
        auto& ogg = static_cast<TagLib::Ogg::Vorbis::File&>(*file);
        ogg.tag()->removeAllFields();
        ogg.tag()->setProperties(map);
        saved = ogg.save();
        break;
    }
    }
    if (!saved)
        error = QStringLiteral("cannot write the tags");
    return saved;
}

} // namespace vexa::detail
