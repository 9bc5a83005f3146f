#include "SoundDebuggableClass.h"

#include <QMessageLogger>

#include <iostream>
#include <utility>

bool SoundDebuggableClass::sDebug = false;
bool SoundDebuggableClass::sVerbose = false;
std::ostream* SoundDebuggableClass::sOStream = &std::cout;
QString SoundDebuggableClass::mErrorStr;

void SoundDebuggableClass::setOStream(std::ostream* stream)
{
    sOStream = stream ? stream : &std::cout;
}

QString SoundDebuggableClass::getError()
{
    return mErrorStr;
}

SoundTools::Status SoundDebuggableClass::failWith(QString message, const char* context)
{
    setError(std::move(message), context);
    return SoundTools::StatusError;
}

void SoundDebuggableClass::setError(QString message, const char* context)
{
    if (message.isEmpty())
        return;
    if (context)
        mErrorStr = QString::fromLocal8Bit(context) + QStringLiteral(" : ");
    else
        mErrorStr.clear();
    // A message made from a failed system call can start with a NUL.
    if (message.at(0) == QChar(0))
        message = QStringLiteral("Unknown system error.");
    mErrorStr += message;
    QMessageLogger().warning("%s", qUtf8Printable(mErrorStr));
}
