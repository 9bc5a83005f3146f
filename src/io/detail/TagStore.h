// Tags read from and written to finished files through TagLib: Vorbis
// comments in FLAC and Ogg, RIFF INFO and ID3v2 in WAV, ID3v2.4 (with an
// ID3v1 copy) in MP3.
#ifndef VEXA_DETAIL_TAGSTORE_H
#define VEXA_DETAIL_TAGSTORE_H

#include "SoundIDTag.h"

#include <QString>

namespace vexa::detail {

enum class TagContainer { Wav, Flac, OggVorbis, Mpeg };

// Fills tags from the file's tags. False when the file holds no tag or
// TagLib cannot read it; tags is then untouched.
bool readFileTags(const QString& path, TagContainer container, SoundIDTag& tags);

// Replaces every tag of the file by tags. False, with the reason in error,
// when the file cannot be tagged.
bool writeFileTags(const QString& path, TagContainer container, const SoundIDTag& tags, QString& error);

} // namespace vexa::detail

#endif
