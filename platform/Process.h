#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The folder of the running executable, ending in a separator; empty when the
// system cannot name the executable.
QString ExecutableFolder();

// Gives SIGCHLD its default action again. A program started with the signal
// ignored (some launchers do that) would have its children reaped by the
// kernel before it could wait for them and learn how they ended.
void RestoreChildSignal();

// `name` beside the executable when it is there, else the first on PATH; empty
// when neither exists.
QString FindProgram(const QString& name);

struct TCapturedRun {
    bool Started = false;
    int ExitCode = -1; // 128 + signal number when the child was killed
    QByteArray Output; // standard output and standard error, interleaved as written
};

// Runs a program (a path, or a bare name looked up on PATH) in `workingDir`,
// with standard input from /dev/null, and captures both output streams through
// one pipe. The pipe is drained before the wait, so a talkative child never blocks.
TCapturedRun SpawnAndCapture(const QStringList& argv, const QString& workingDir);
