// The tool's parts that need no audio: its command line and the renderers
// of its results.
#include "CommandLine.h"
#include "Commands.h"
#include "MatchCommand.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const OptionList kSpecs = {{"gain", "DB", ""}, {"eq", "FREQ:GAIN", ""}, {"quiet", nullptr, ""}};

QStringList pairs(const ParsedArgs& a)
{
    QStringList out;
    for (const auto& [name, value] : a.options)
        out << name + QLatin1Char('=') + value;
    return out;
}

} // namespace

TEST(ToolCommandLine, OptionsKeepTheirOrderAndWordsWithOneDashAreFiles)
{
    const struct {
        QStringList args;
        QStringList positional;
        QStringList options;
    } cases[] = {
        {{"in.wav", "--eq", "100:3", "--gain=-6", "--quiet", "--eq", "200:1", "out.wav"},
         {"in.wav", "out.wav"},
         {"eq=100:3", "gain=-6", "quiet=", "eq=200:1"}},
        {{"--gain", "-6", "-x.wav", "-"}, {"-x.wav", "-"}, {"gain=-6"}},
        {{"--quiet", "--", "--gain", "-q"}, {"--gain", "-q"}, {"quiet="}},
        {{"--gain", "--", "a"}, {"a"}, {"gain=--"}},
    };
    for (const auto& c : cases) {
        ParsedArgs parsed;
        QString error;
        ASSERT_TRUE(parseArgs(c.args, kSpecs, parsed, error)) << qPrintable(error);
        EXPECT_EQ(parsed.positional, c.positional) << qPrintable(c.args.join(' '));
        EXPECT_EQ(pairs(parsed), c.options) << qPrintable(c.args.join(' '));
    }
    ParsedArgs parsed;
    QString error;
    ASSERT_TRUE(parseArgs({"--gain", "1", "--gain", "2"}, kSpecs, parsed, error));
    EXPECT_EQ(parsed.value("gain"), "2"); // the last one given
}

TEST(ToolCommandLine, TheFirstBadArgumentIsNamed)
{
    const struct {
        QStringList args;
        const char* error;
    } cases[] = {
        {{"a", "--bogus", "--gain"}, "unknown option --bogus"},
        {{"--gain"}, "option --gain needs a value (DB)"},
        {{"--quiet=1", "--bogus"}, "option --quiet takes no value"},
        {{"--=3"}, "unknown option --"},
    };
    for (const auto& c : cases) {
        ParsedArgs parsed;
        QString error;
        EXPECT_FALSE(parseArgs(c.args, kSpecs, parsed, error));
        EXPECT_EQ(error, QLatin1String(c.error)) << qPrintable(c.args.join(' '));
    }
}

// Every command's help lists its options, and the command list names them
// all: both come from the table.
TEST(ToolCommandLine, HelpComesFromTheTable)
{
    const QString usage = toolUsage();
    for (const Command* c : commandTable()) {
        EXPECT_TRUE(usage.contains(QStringLiteral("\n  %1 ").arg(QLatin1String(c->synopsis)))) << c->name;
        const QString help = commandHelp(*c);
        EXPECT_TRUE(help.startsWith(QStringLiteral("usage: vexa %1").arg(QLatin1String(c->name)))) << c->name;
        for (const OptionSpec& s : commandOptions(*c))
            EXPECT_TRUE(help.contains(QStringLiteral("\n  --%1 ").arg(QLatin1String(s.name)))) << c->name << " " << s.name;
        EXPECT_TRUE(manPage("1").contains(QStringLiteral(".SS %1\n").arg(QLatin1String(c->name)))) << c->name;
    }
}

// Two bands split at 1 kHz of a 44.1 kHz file: the band edges run from
// 0 Hz to the Nyquist frequency, levels print with two decimals.
TEST(ToolRenderers, MatchShowsBandsAndCorrection)
{
    MatchResult r;
    r.file = "in.wav";
    r.catalog = "built-in catalog";
    r.reference = "pink noise";
    r.candidates = {{"pink noise", 0.123}, {"speech", 4.5}};
    r.splits = {1000};
    r.sampleRate = 44100;
    r.relativeDb = {0.0, -3.14159};
    r.referenceDb = {0.0, -2.0};
    r.correctionDb = {-0.25, 1.0};
    r.maxCorrectionDb = 6;
    r.outputGainDb = 0.5;
    EXPECT_EQ(QString::fromUtf8(matchText(r)),
              "in.wav\n"
              "  reference      pink noise (nearest)\n"
              "  RMS difference pink noise 0.12 dB, speech 4.50 dB\n"
              "  band                 recording  reference  correction\n"
              "         0 -   1000 Hz     0.00 dB     0.00 dB    -0.25 dB\n"
              "      1000 -  22050 Hz    -3.14 dB    -2.00 dB     1.00 dB\n"
              "  output gain    +0.50 dB\n");
    const QJsonObject o = QJsonDocument::fromJson(matchJson(r)).object();
    EXPECT_EQ(o.value("chosen").toString(), "nearest");
    EXPECT_FALSE(o.contains("applied"));
    const QJsonObject high = o.value("bands").toArray()[1].toObject();
    EXPECT_EQ(high.value("low_hz").toDouble(), 1000.0);
    EXPECT_EQ(high.value("high_hz").toDouble(), 22050.0);
    EXPECT_EQ(high.value("relative_db").toDouble(), -3.14);
    EXPECT_EQ(o.value("candidates").toArray()[0].toObject().value("rms_difference_db").toDouble(), 0.12);
}
