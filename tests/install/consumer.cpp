// Built against an installed vexa, outside the source tree: checks that the
// installed headers, library and package files are complete.
#include <vexa/vexa.h>

#include <cstdio>

int main()
{
    SoundBuffer::setDefaultSize(1024);
    auto* node = new SoundAlgoScale(-6.0206);
    const QString name = node->getName();
    node->release();
    if (name != QStringLiteral("SoundAlgoScale") || SoundBuffer::getDefaultSize() != 1024) {
        std::printf("unexpected: %s\n", qPrintable(name));
        return 1;
    }
    std::printf("consumer ok: %s\n", qPrintable(name));
    return 0;
}
