// The part of LAME's interface that the MP3 writer uses. LAME is loaded at
// run time, so only the types of the functions it resolves are declared here.
#ifndef VEXA_IO_DETAIL_LAMEAPI_H
#define VEXA_IO_DETAIL_LAMEAPI_H

#include <cstdio>

namespace vexa::detail {

struct LameGlobalFlags; // LAME's lame_global_flags, opaque
using lame_t = LameGlobalFlags*;

struct LameApi {
    lame_t (*init)();
    int (*set_brate)(lame_t, int);
    int (*set_num_channels)(lame_t, int);
    int (*set_in_samplerate)(lame_t, int);
    int (*set_mode)(lame_t, int); // 1 = joint stereo
    int (*set_quality)(lame_t, int);
    int (*init_params)(lame_t);
    int (*close)(lame_t);
    int (*encode_flush)(lame_t, unsigned char* mp3buf, int size);
    void (*mp3_tags_fid)(lame_t, FILE*);
    int (*encode_buffer)(lame_t, const short* left, const short* right, int samples, unsigned char* mp3buf,
                         int size);
    int (*get_num_channels)(const lame_t);
    void (*id3tag_init)(lame_t);
    void (*id3tag_add_v2)(lame_t);
    void (*id3tag_set_title)(lame_t, const char*);
    void (*id3tag_set_artist)(lame_t, const char*);
    void (*id3tag_set_album)(lame_t, const char*);
    void (*id3tag_set_year)(lame_t, const char*);
    void (*id3tag_set_comment)(lame_t, const char*);
    int (*id3tag_set_track)(lame_t, const char*);
    int (*id3tag_set_genre)(lame_t, const char*);
    int (*set_write_id3tag_automatic)(lame_t, int);
};

} // namespace vexa::detail

#endif
