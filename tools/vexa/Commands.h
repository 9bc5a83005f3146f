// The command table of the vexa tool. Each command is one entry, defined in
// its own file and listed once in CommandTable.cpp; the tool's help, its
// manual page and its shell completion are made from the table.
#ifndef VEXA_TOOL_COMMANDS_H
#define VEXA_TOOL_COMMANDS_H

#include "CommandLine.h"

#include <QString>

#include <vector>

struct Command {
    const char* name;
    const char* synopsis; // its line in the command list ("info FILE...")
    const char* summary;  // what it does, in the command list
    const char* usage;    // the usage line of its help
    const char* description;
    OptionList options;          // in the order of its help; --help is added
    const char* helpNote;        // the help of --help ("show this help" and what else it needs to say)
    const char* examples;        // lines of examples, each ending in a newline
    int (*run)(const ParsedArgs& args); // returns the exit status
    // Commands that process no audio skip the restart for OpenMP's wait
    // policy (see main); a command that handles Ctrl-C itself runs without
    // the tool's stop handling.
    bool processesAudio = true;
    bool ownSignals = false;
};

// The commands, in the order the help lists them.
const std::vector<const Command*>& commandTable();
const Command* findCommand(const QString& name);

// The options of a command, with --help last.
OptionList commandOptions(const Command& command);

// Runs a command on its arguments (those after its name): parses them,
// answers --help, and runs it. Usage errors give ExitUsage.
int runCommand(const Command& command, const QStringList& args);

// What the tool says for "vexa --help": the commands and their summaries.
QString toolUsage();
// "vexa COMMAND --help": usage line, description, options, examples.
QString commandHelp(const Command& command);
// The manual page (troff, man macros) and the bash completion script, made
// from the table.
QString manPage(const QString& version);
QString bashCompletion();

#endif
