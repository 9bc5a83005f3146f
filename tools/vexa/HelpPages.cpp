// The manual page and the bash completion of the tool, made from the
// command table at build time (vexa --man, vexa --bash-completion).
#include "Commands.h"

#include <algorithm>

namespace {

// Text as troff shows it: backslashes escaped, dashes as minus signs (as
// options are typed), and no line taken for a request.
QString troff(const QString& text)
{
    QString t = text;
    t.replace(QLatin1Char('\\'), QLatin1String("\\e")).replace(QLatin1Char('-'), QLatin1String("\\-"));
    QStringList lines = t.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.startsWith(QLatin1Char('.')) || line.startsWith(QLatin1Char('\'')))
            line.prepend(QLatin1String("\\&"));
    }
    return lines.join(QLatin1Char('\n'));
}

QString optionItem(const OptionSpec& s)
{
    QString item = QStringLiteral(".TP\n\\fB\\-\\-%1\\fR").arg(troff(QLatin1String(s.name)));
    if (s.value)
        item += QStringLiteral(" \\fI%1\\fR").arg(troff(QLatin1String(s.value)));
    return item + QStringLiteral("\n%1\n").arg(troff(QLatin1String(s.help)));
}

QString commandSection(const Command& c)
{
    QString page = QStringLiteral(".SS %1\n").arg(troff(QLatin1String(c.name)));
    page += QStringLiteral(".B %1\n.PP\n").arg(troff(QLatin1String(c.usage)));
    // The description's lines are wrapped for a terminal: troff fills them again.
    page += QStringLiteral("%1\n").arg(troff(QString::fromLatin1(c.description).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    page += QStringLiteral(".PP\nOptions:\n.RS\n");
    for (const OptionSpec& s : commandOptions(c))
        page += optionItem(s);
    page += QStringLiteral(".RE\n.PP\nExamples:\n.RS\n.nf\n%1.fi\n.RE\n").arg(troff(QLatin1String(c.examples)).replace(QLatin1String("  vexa"), QLatin1String("vexa")));
    return page;
}

} // namespace

QString manPage(const QString& version)
{
    QString page = QStringLiteral(".TH VEXA 1 \"\" \"vexa %1\" \"User Commands\"\n").arg(troff(version));
    page += QStringLiteral(".SH NAME\nvexa \\- process, split, analyse and play audio files\n");
    page += QStringLiteral(".SH SYNOPSIS\n.B vexa\n\\fICOMMAND\\fR [\\fIARGS\\fR] [\\fB\\-\\-help\\fR]\n.br\n"
                           ".B vexa \\-\\-version\n");
    page += QStringLiteral(".SH DESCRIPTION\nThe command\\-line tool of the vexa audio library. Its commands:\n");
    for (const Command* c : commandTable())
        page += QStringLiteral(".TP\n.B %1\n%2\n").arg(troff(QLatin1String(c->synopsis)), troff(QLatin1String(c->summary)));
    page += QStringLiteral(".PP\n\\fBvexa\\fR \\fICOMMAND\\fR \\fB\\-\\-help\\fR shows the options and examples of a command.\n");
    page += QStringLiteral(".SH COMMANDS\n");
    for (const Command* c : commandTable())
        page += commandSection(*c);
    page += QStringLiteral(".SH EXIT STATUS\n0 on success, 1 when the work failed, 2 on bad usage; "
                           "128 plus the signal's number when stopped by a signal.\n");
    return page;
}

namespace {

// How an option's value completes: a file name (FILE..., OUT), a folder
// (DIR), one of the words of a choice ("pcm16|pcm24|float"), else nothing
// (numbers, names, text).
QString valueCompletion(const OptionSpec& s)
{
    const QString value = QLatin1String(s.value);
    if (value.contains(QLatin1Char('|')))
        return QStringLiteral("COMPREPLY=($(compgen -W \"%1\" -- \"$cur\"))").arg(value.split(QLatin1Char('|')).join(QLatin1Char(' ')));
    if (value.startsWith(QLatin1String("FILE")) || value == QLatin1String("OUT"))
        return QStringLiteral("_filedir");
    if (value == QLatin1String("DIR"))
        return QStringLiteral("_filedir -d");
    return QString();
}

QString commandCase(const Command& c)
{
    QStringList options;
    // The options whose values complete alike, under one pattern.
    std::vector<std::pair<QString, QStringList>> actions;
    for (const OptionSpec& s : commandOptions(c)) {
        const QString option = QStringLiteral("--%1").arg(QLatin1String(s.name));
        options << option;
        if (!s.value)
            continue;
        const QString action = valueCompletion(s);
        auto it = std::find_if(actions.begin(), actions.end(), [&](const auto& a) { return a.first == action; });
        if (it == actions.end())
            actions.emplace_back(action, QStringList{option});
        else
            it->second << option;
    }
    QString valueCases;
    for (const auto& [action, names] : actions) {
        valueCases += QStringLiteral("        %1)\n            %2return ;;\n")
                          .arg(names.join(QLatin1Char('|')), action.isEmpty() ? QString() : action + QLatin1String("; "));
    }
    return QStringLiteral("    %1)\n        case $prev in\n%2        esac\n        opts=\"%3\" ;;\n")
        .arg(QLatin1String(c.name), valueCases, options.join(QLatin1Char(' ')));
}

} // namespace

QString bashCompletion()
{
    QStringList names;
    QString cases;
    for (const Command* c : commandTable()) {
        names << QLatin1String(c->name);
        cases += commandCase(*c);
    }
    return QStringLiteral(
               "# bash completion for vexa (made by vexa --bash-completion)\n"
               "_vexa()\n{\n"
               "    local cur prev words cword opts\n"
               "    _init_completion || return\n"
               "    if [[ $cword -eq 1 ]]; then\n"
               "        COMPREPLY=($(compgen -W \"%1 --help --version\" -- \"$cur\"))\n"
               "        return\n"
               "    fi\n"
               "    case ${words[1]} in\n%2"
               "    *) return ;;\n"
               "    esac\n"
               "    if [[ $cur == -* ]]; then\n"
               "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
               "    else\n"
               "        _filedir\n"
               "    fi\n"
               "}\n"
               "complete -F _vexa vexa\n")
        .arg(names.join(QLatin1Char(' ')), cases);
}
