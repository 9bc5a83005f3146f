// Process-wide diagnostics: debug and verbose switches, the stream that
// reports and traces go to, and the text of the last error.
#ifndef VEXA_SOUNDDEBUGGABLECLASS_H
#define VEXA_SOUNDDEBUGGABLECLASS_H

#include "SoundTools.h"
#include "vexa_export.h"

#include <QString>
#include <ostream>

class VEXA_EXPORT SoundDebuggableClass {
public:
    static bool isDebug() { return sDebug; }
    static void setDebug(bool on) { sDebug = on; }
    static bool isVerbose() { return sVerbose; }
    static void setVerbose(bool on) { sVerbose = on; }

    // The diagnostic stream; std::cout unless the host sets another one.
    // The caller keeps ownership of a stream it sets and keeps it alive.
    static std::ostream& getOStream() { return *sOStream; }
    static void setOStream(std::ostream* stream);

    static QString getError();
    // Records "context : message" (or the message alone without a context)
    // and repeats it as a Qt warning. An empty message changes nothing.
    static void setError(QString message, const char* context = nullptr);
    // Records the error as setError does and returns StatusError: the one
    // way an operation fails with a reason of its own.
    static SoundTools::Status failWith(QString message, const char* context = nullptr);

    // The state is static: copying an object copies nothing.
    SoundDebuggableClass& operator=(const SoundDebuggableClass&) { return *this; }

private:
    static bool sDebug;
    static bool sVerbose;
    static std::ostream* sOStream;
    static QString mErrorStr;
};

#endif
