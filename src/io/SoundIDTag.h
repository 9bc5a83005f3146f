// Text tags of a piece, as readers find them and writers store them. Every
// field is empty when unknown. Texts are UTF-8.
#ifndef VEXA_SOUNDIDTAG_H
#define VEXA_SOUNDIDTAG_H

#include <map>
#include <string>
#include <vector>

struct SoundIDTag {
    std::string title;
    std::string artist;
    std::string album;
    std::string year;    // a year or a date ("2004", "2004-05-01")
    std::string comment;
    std::string track;   // the track number, with the total after a slash when known ("3", "3/12")
    std::string genre;
    // Every other tag of the file, by its common upper-case name
    // ("COMPOSER", "DISCNUMBER", "REPLAYGAIN_TRACK_GAIN", ...): readers fill
    // it and writers store it, so that copying tags loses none.
    std::map<std::string, std::vector<std::string>> others;

    bool empty() const
    {
        return title.empty() && artist.empty() && album.empty() && year.empty() && comment.empty() &&
            track.empty() && genre.empty() && others.empty();
    }
};

#endif
