#include "CommandLine.h"

#include <QCommandLineParser>

#include <cmath>
#include <map>

OptionList joinOptions(std::initializer_list<OptionList> lists)
{
    OptionList all;
    for (const OptionList& l : lists)
        all.insert(all.end(), l.begin(), l.end());
    return all;
}

bool ParsedArgs::has(const QString& name) const
{
    for (const auto& o : options) {
        if (o.first == name)
            return true;
    }
    return false;
}

QString ParsedArgs::value(const QString& name, const QString& fallback) const
{
    QString v = fallback;
    for (const auto& o : options) {
        if (o.first == name)
            v = o.second; // the last one given wins
    }
    return v;
}

namespace {

// QCommandLineParser takes a word with one leading dash for short options;
// vexa has none and reads such words as file names. They reach the parser
// behind this mark (as does a word that starts with it), which no option
// starts with, and lose it again as positional arguments.
const QChar kPositionalMark(0x1);

const OptionSpec* findSpec(const OptionList& specs, const QString& name)
{
    for (const OptionSpec& s : specs) {
        if (name == QLatin1String(s.name))
            return &s;
    }
    return nullptr;
}

// The arguments as the parser is to see them, with the marks; false with
// `error` set at the first argument that is not a known option with what
// it needs, which the parser would refuse too.
bool markPositionals(const QStringList& args, const OptionList& specs, QStringList& marked, QString& error)
{
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnded || !arg.startsWith(QLatin1String("--"))) {
            const bool mark = !optionsEnded && (arg.startsWith(QLatin1Char('-')) || arg.startsWith(kPositionalMark));
            marked << (mark ? kPositionalMark + arg : arg);
            continue;
        }
        marked << arg;
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        const QString name = arg.mid(2).section(QLatin1Char('='), 0, 0);
        const bool inlineValue = arg.indexOf(QLatin1Char('=')) >= 0;
        const OptionSpec* spec = findSpec(specs, name);
        if (!spec) {
            error = QStringLiteral("unknown option --%1").arg(name);
            return false;
        }
        if (spec->value && !inlineValue) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("option --%1 needs a value (%2)").arg(name, QLatin1String(spec->value));
                return false;
            }
            marked << args[++i]; // a value, whatever it starts with
        } else if (!spec->value && inlineValue) {
            error = QStringLiteral("option --%1 takes no value").arg(name);
            return false;
        }
    }
    return true;
}

} // namespace

bool parseArgs(const QStringList& args, const OptionList& specs, ParsedArgs& out, QString& error)
{
    QStringList marked{QStringLiteral("vexa")};
    if (!markPositionals(args, specs, marked, error))
        return false;
    QCommandLineParser parser;
    for (const OptionSpec& s : specs) {
        parser.addOption(QCommandLineOption(QLatin1String(s.name), QLatin1String(s.help),
                                            s.value ? QLatin1String(s.value) : QString()));
    }
    if (!parser.parse(marked)) {
        error = parser.errorText();
        return false;
    }
    for (const QString& p : parser.positionalArguments())
        out.positional << (p.startsWith(kPositionalMark) ? p.mid(1) : p);
    // optionNames() lists the options in the order given, once per use;
    // values() each option's values in that order.
    std::map<QString, int> used;
    for (const QString& name : parser.optionNames()) {
        const QStringList values = parser.values(name);
        const int n = used[name]++;
        out.options.emplace_back(name, n < values.size() ? values[n] : QString());
    }
    return true;
}

bool toNumber(const QString& text, double& value)
{
    bool ok = false;
    value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value);
}

bool toNumbers(const QString& text, std::vector<double>& values, int minCount, int maxCount, QChar separator)
{
    const QStringList parts = text.split(separator);
    if (parts.size() < minCount || parts.size() > maxCount)
        return false;
    values.clear();
    for (const QString& p : parts) {
        double v = 0;
        if (!toNumber(p, v))
            return false;
        values.push_back(v);
    }
    return true;
}

const char* const kTagNames[6] = {"title", "artist", "album", "year", "comment", "genre"};

OptionList tagOptions()
{
    return {{"title", "TEXT", "title tag"},     {"artist", "TEXT", "artist tag"},   {"album", "TEXT", "album tag"},
            {"year", "TEXT", "year tag"},       {"comment", "TEXT", "comment tag"}, {"genre", "TEXT", "genre tag"}};
}
