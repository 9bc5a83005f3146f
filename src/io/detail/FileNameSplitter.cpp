#include "FileNameSplitter.h"

#include <strings.h>

namespace vexa::detail {

FileNameSplitter::FileNameSplitter(const QString& name)
{
    fullName = name.toLocal8Bit().toStdString();
    for (char& c : fullName) {
        if (c == '\\')
            c = '/';
    }
    std::string::size_type restStart = 0;
    const std::string::size_type colon = fullName.find(':');
    if (colon != std::string::npos) {
        drive = fullName.substr(0, colon);
        restStart = colon + 1;
    }
    const std::string::size_type slash = fullName.rfind('/');
    if (slash != std::string::npos && slash >= restStart) {
        std::string::size_type end = slash;
        while (end > restStart && fullName[end - 1] == '/')
            --end;
        directory = fullName.substr(restStart, end - restStart);
        restStart = slash + 1;
    }
    if (restStart >= fullName.size())
        return;
    fileName = fullName.substr(restStart);
    const std::string::size_type dot = fileName.rfind('.');
    if (dot == std::string::npos) {
        baseName = fileName;
    } else {
        baseName = fileName.substr(0, dot);
        extension = fileName.substr(dot + 1);
    }
}

bool FileNameSplitter::hasExtension(const char* ext) const
{
    return !extension.empty() && strcasecmp(extension.c_str(), ext) == 0;
}

} // namespace vexa::detail
