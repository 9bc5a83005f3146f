// One command over many files: each file in a child vexa process, a few at a
// time, one line (or JSON line) per file as it finishes, and a summary.
#ifndef VEXA_TOOL_BATCH_H
#define VEXA_TOOL_BATCH_H

#include "CommandLine.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// The options `--jobs N` and `--output-dir DIR` of the commands that take
// several files.
OptionList batchOptions(bool outputDir);

// The options of `args` as arguments again ("--name" and its value), but
// those named in `skip`.
QStringList optionArguments(const ParsedArgs& args, const std::vector<OptionSpec>& specs, const QStringList& skip);

// Runs the command once per input, with the arguments `argsFor` gives for
// that input (the command's name first), at most `jobs` at a time (0: one per
// core). Each file's line comes as it finishes: "ok FILE (S s)" or
// "failed FILE: reason", or with `json` one JSON object per line with the
// file, its exit status, its seconds and the command's own JSON output. A
// summary goes to standard error. ExitOk when every file succeeded, else
// ExitFailed.
int runBatch(const QStringList& inputs, const std::function<QStringList(const QString&)>& argsFor, int jobs,
             bool json);

// --jobs as a count (0 when not given); false on a bad value.
bool batchJobs(const ParsedArgs& args, int& jobs, QString& error);

#endif
