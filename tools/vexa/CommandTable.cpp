#include "Commands.h"

#include "Console.h"

#include <cstdio>

// Each command's entry, from its own file; a new command adds its line here
// and in the table below.
const Command& infoCommand();
const Command& processCommand();
const Command& splitCommand();
const Command& analyzeCommand();
const Command& matchCommand();
const Command& tagCommand();
const Command& playCommand();
const Command& demoCommand();

const std::vector<const Command*>& commandTable()
{
    static const std::vector<const Command*> table = {
        &infoCommand(), &processCommand(), &splitCommand(), &analyzeCommand(),
        &tagCommand(), &matchCommand(), &playCommand(), &demoCommand(),
    };
    return table;
}

const Command* findCommand(const QString& name)
{
    for (const Command* c : commandTable()) {
        if (name == QLatin1String(c->name))
            return c;
    }
    return nullptr;
}

OptionList commandOptions(const Command& command)
{
    OptionList options = command.options;
    options.push_back({"help", nullptr, command.helpNote});
    return options;
}

int runCommand(const Command& command, const QStringList& args)
{
    ParsedArgs parsed;
    QString error;
    if (!parseArgs(args, commandOptions(command), parsed, error)) {
        std::fprintf(stderr, "vexa: error: %s (see vexa %s --help)\n", qUtf8Printable(error), command.name);
        return ExitUsage;
    }
    if (parsed.has(QStringLiteral("help"))) {
        std::printf("%s", qUtf8Printable(commandHelp(command)));
        return ExitOk;
    }
    return command.run(parsed);
}

QString toolUsage()
{
    QString text = QStringLiteral("usage: vexa COMMAND [ARGS] [--help]\n\ncommands:\n");
    for (const Command* c : commandTable())
        text += QStringLiteral("  %1 %2\n").arg(QString::fromLatin1(c->synopsis).leftJustified(23), QLatin1String(c->summary));
    text += QStringLiteral("\nvexa COMMAND --help shows the options and examples of a command; vexa --version the version.\n");
    return text;
}

QString commandHelp(const Command& command)
{
    QString text = QStringLiteral("usage: %1\n\n%2\n").arg(QLatin1String(command.usage), QLatin1String(command.description));
    text += QStringLiteral("\noptions:\n");
    for (const OptionSpec& s : commandOptions(command)) {
        QString left = QStringLiteral("  --%1").arg(QLatin1String(s.name));
        if (s.value)
            left += QStringLiteral(" %1").arg(QLatin1String(s.value));
        text += left.leftJustified(30) + QLatin1String(" ") + QLatin1String(s.help) + QLatin1Char('\n');
    }
    text += QStringLiteral("\nexamples:\n") + QLatin1String(command.examples);
    return text;
}
