// The arguments of a vexa command: its options (read by QCommandLineParser,
// kept in the order given, for process's chain) and its positional
// arguments, and the option groups several commands share.
#ifndef VEXA_TOOL_COMMANDLINE_H
#define VEXA_TOOL_COMMANDLINE_H

#include <QString>
#include <QStringList>

#include <initializer_list>
#include <utility>
#include <vector>

// One option: "--name VALUE" (or "--name=VALUE"), or a flag.
struct OptionSpec {
    const char* name;  // without the leading "--"
    const char* value; // name of its value in the help ("DB"), or null for a flag
    const char* help;
};
using OptionList = std::vector<OptionSpec>;

// The option lists joined, in order.
OptionList joinOptions(std::initializer_list<OptionList> lists);

struct ParsedArgs {
    QStringList positional;
    std::vector<std::pair<QString, QString>> options; // in the order given (a flag's value is empty)

    bool has(const QString& name) const;
    // The value given last, or `fallback`.
    QString value(const QString& name, const QString& fallback = QString()) const;
};

// Reads `args` (the arguments after the command's name) as options of
// `specs` and positional arguments; "--" ends the options, and a word with
// one leading dash ("-", "-x.wav") is positional. False with `error` set
// ("unknown option --x", "option --x needs a value (DB)", "option --x takes
// no value") at the first argument that is none of these.
bool parseArgs(const QStringList& args, const OptionList& specs, ParsedArgs& out, QString& error);

// Options of the text tags: --title, --artist, --album, --year, --comment,
// --genre; and the tags given as such options set in `tags`.
OptionList tagOptions();
extern const char* const kTagNames[6];

// Number parsing for option values; false when the text is not a number.
bool toNumber(const QString& text, double& value);
// "A:B[:C]" into numbers; false on a wrong count or a non-number.
bool toNumbers(const QString& text, std::vector<double>& values, int minCount, int maxCount, QChar separator = ':');

#endif
