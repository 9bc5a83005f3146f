// The commands of the vexa tool. Each returns the process exit status.
#ifndef VEXA_TOOL_COMMANDS_H
#define VEXA_TOOL_COMMANDS_H

int runInfo(int argc, char** argv);
int runProcess(int argc, char** argv);
int runSplit(int argc, char** argv);
int runDemo(int argc, char** argv);
int runAnalyze(int argc, char** argv);
int runPlay(int argc, char** argv);
int runMatch(int argc, char** argv);

#endif
