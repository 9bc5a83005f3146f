#include "CommandLine.h"

#include <cmath>
#include <cstdio>

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

bool parseArgs(int argc, char** argv, int first, const std::vector<OptionSpec>& specs, ParsedArgs& out, QString& error)
{
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (optionsEnded || !arg.startsWith(QLatin1String("--")) || arg == QLatin1String("--")) {
            if (arg == QLatin1String("--") && !optionsEnded) {
                optionsEnded = true;
                continue;
            }
            out.positional << arg;
            continue;
        }
        QString name = arg.mid(2);
        QString value;
        bool inlineValue = false;
        const int eq = name.indexOf('=');
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inlineValue = true;
        }
        const OptionSpec* spec = nullptr;
        for (const auto& s : specs) {
            if (name == QLatin1String(s.name))
                spec = &s;
        }
        if (!spec) {
            error = QStringLiteral("unknown option --%1").arg(name);
            return false;
        }
        if (spec->value) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    error = QStringLiteral("option --%1 needs a value (%2)").arg(name, QLatin1String(spec->value));
                    return false;
                }
                value = QString::fromLocal8Bit(argv[++i]);
            }
        } else if (inlineValue) {
            error = QStringLiteral("option --%1 takes no value").arg(name);
            return false;
        }
        out.options.emplace_back(name, value);
    }
    return true;
}

QString helpText(const QString& usage, const QString& description, const std::vector<OptionSpec>& specs,
                 const QString& examples)
{
    QString text = QStringLiteral("usage: %1\n\n%2\n").arg(usage, description);
    if (!specs.empty()) {
        text += QStringLiteral("\noptions:\n");
        for (const auto& s : specs) {
            QString left = QStringLiteral("  --%1").arg(QLatin1String(s.name));
            if (s.value)
                left += QStringLiteral(" %1").arg(QLatin1String(s.value));
            text += left.leftJustified(30) + QLatin1String(" ") + QLatin1String(s.help) + QLatin1Char('\n');
        }
    }
    if (!examples.isEmpty())
        text += QStringLiteral("\nexamples:\n") + examples;
    return text;
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

std::vector<OptionSpec> withTagOptions(std::vector<OptionSpec> specs)
{
    static const char* const helps[6] = {"title tag", "artist tag", "album tag", "year tag", "comment tag", "genre tag"};
    // Before --help, which closes every list.
    auto at = specs.end();
    if (!specs.empty() && QLatin1String(specs.back().name) == QLatin1String("help"))
        --at;
    std::vector<OptionSpec> tags;
    for (int i = 0; i < 6; ++i)
        tags.push_back({kTagNames[i], "TEXT", helps[i]});
    specs.insert(at, tags.begin(), tags.end());
    return specs;
}

int startCommand(int argc, char** argv, const char* command, const std::vector<OptionSpec>& specs, const char* usage,
                 const char* description, const char* examples, ParsedArgs& args)
{
    QString error;
    if (!parseArgs(argc, argv, 2, specs, args, error)) {
        std::fprintf(stderr, "vexa: error: %s (see vexa %s --help)\n", qUtf8Printable(error), command);
        return 2;
    }
    if (args.has(QStringLiteral("help"))) {
        std::printf("%s", qUtf8Printable(helpText(QLatin1String(usage), QLatin1String(description), specs,
                                                  QLatin1String(examples))));
        return 0;
    }
    return -1;
}
