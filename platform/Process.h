#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

#include <sys/types.h>

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
// The child leads a process group of its own, so that a terminal's Ctrl-C
// reaches only this program, which stops its children itself.
struct TChildControl {
    std::atomic<pid_t> Pid{0};     // the running child, 0 when there is none
    std::atomic<bool> Stop{false}; // once set, the child is ended, also one that starts later
};
TCapturedRun SpawnAndCapture(const QStringList& argv, const QString& workingDir,
                             TChildControl* control = nullptr);

// Starts a program as a process of its own that this one neither waits for nor
// ends; false when it could not be started (a failed exec is not seen).
bool StartDetached(const QString& program, const QStringList& arguments);

// Ends the child of `control` with everything it started, now or as it starts.
void StopChild(TChildControl& control);
