#include "SoundDebuggableClass.h"

#include <gtest/gtest.h>

#include <QtGlobal>

namespace {

QString gLastWarning;
int gWarnings = 0;

void captureWarnings(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type == QtWarningMsg) {
        gLastWarning = msg;
        ++gWarnings;
    }
}

} // namespace

TEST(SoundDebuggableClass, SetErrorComposesAndWarns)
{
    QtMessageHandler previous = qInstallMessageHandler(captureWarnings);
    gWarnings = 0;

    SoundDebuggableClass::setError(QStringLiteral("file missing"), "Reader::open");
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("Reader::open : file missing"));
    EXPECT_EQ(gLastWarning, QStringLiteral("Reader::open : file missing"));
    EXPECT_EQ(gWarnings, 1);

    // An empty message keeps the previous text and prints nothing.
    SoundDebuggableClass::setError(QString(), "Other");
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("Reader::open : file missing"));
    EXPECT_EQ(gWarnings, 1);

    SoundDebuggableClass::setError(QStringLiteral("plain"), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("plain"));

    SoundDebuggableClass::setError(QString(QChar(0)) + QStringLiteral("garbage"), "ctx");
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("ctx : Unknown system error."));

    qInstallMessageHandler(previous);
}

TEST(SoundDebuggableClass, SwitchesAndStream)
{
    EXPECT_FALSE(SoundDebuggableClass::isDebug());
    EXPECT_FALSE(SoundDebuggableClass::isVerbose());
    SoundDebuggableClass::setDebug(true);
    SoundDebuggableClass::setVerbose(true);
    EXPECT_TRUE(SoundDebuggableClass::isDebug());
    EXPECT_TRUE(SoundDebuggableClass::isVerbose());
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setVerbose(false);

    std::ostringstream os;
    SoundDebuggableClass::setOStream(&os);
    SoundDebuggableClass::getOStream() << "trace";
    SoundDebuggableClass::setOStream(nullptr);
    EXPECT_EQ(os.str(), "trace");
    EXPECT_EQ(&SoundDebuggableClass::getOStream(), &std::cout);
}
