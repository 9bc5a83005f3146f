// Command-line parsing of the vexa tool: options in the order given, with
// or without a value ("--name value" or "--name=value"), and positional
// arguments.
#ifndef VEXA_TOOL_COMMANDLINE_H
#define VEXA_TOOL_COMMANDLINE_H

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

struct OptionSpec {
    const char* name;   // without the leading "--"
    const char* value;  // name of its value in the help ("DB"), or null for a flag
    const char* help;
};

struct ParsedArgs {
    QStringList positional;
    std::vector<std::pair<QString, QString>> options; // in the order given

    bool has(const QString& name) const;
    QString value(const QString& name, const QString& fallback = QString()) const;
};

// Parses argv[first..]; on a bad option fills `error` and returns false.
bool parseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& specs, ParsedArgs& out, QString& error);

// Parses the arguments of a command (argv[2..]) and answers --help with the
// command's help text. Returns -1 when the command goes on, else the exit
// status to return (0 after the help, 2 after a usage error).
int startCommand(int argc, char** argv, const char* command, const std::vector<OptionSpec>& specs, const char* usage,
                 const char* description, const char* examples, ParsedArgs& args);

// Options of the text tags: title, artist, album, year, comment, genre.
std::vector<OptionSpec> withTagOptions(std::vector<OptionSpec> specs);
extern const char* const kTagNames[6];

// The help text of a command: usage line, description, options, examples.
QString helpText(const QString& usage, const QString& description, const std::vector<OptionSpec>& specs,
                 const QString& examples);

// Number parsing for option values; false when the text is not a number.
bool toNumber(const QString& text, double& value);
// "A:B[:C]" into numbers; false on a wrong count or a non-number.
bool toNumbers(const QString& text, std::vector<double>& values, int minCount, int maxCount, QChar separator = ':');

#endif
