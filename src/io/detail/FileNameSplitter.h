// Takes a file name apart: drive, directory, base name and extension, in the
// local 8-bit encoding, with back slashes read as slashes.
#ifndef VEXA_IO_DETAIL_FILENAMESPLITTER_H
#define VEXA_IO_DETAIL_FILENAMESPLITTER_H

#include <QString>
#include <string>

namespace vexa::detail {

struct FileNameSplitter {
    explicit FileNameSplitter(const QString& name);

    std::string drive;     // text before the first ':'
    std::string directory; // up to the last '/', trailing slashes removed
    std::string baseName;  // file name before its last '.'
    std::string extension; // file name after its last '.'
    std::string fullName;  // the whole name, slashes only
    std::string fileName;  // the file part: after the directory

    // Case-insensitive comparison of the extension with `ext` (ASCII).
    bool hasExtension(const char* ext) const;
};

} // namespace vexa::detail

#endif
