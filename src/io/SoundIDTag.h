// Text tags of a piece, as readers find them and writers store them. Every
// field is empty when unknown.
#ifndef VEXA_SOUNDIDTAG_H
#define VEXA_SOUNDIDTAG_H

#include <string>

struct SoundIDTag {
    std::string title;
    std::string artist;
    std::string album;
    std::string year;
    std::string comment;
    std::string track;
    std::string genre;
};

#endif
