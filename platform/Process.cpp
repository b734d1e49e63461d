#include "Process.h"

#include "FileNameBytes.h"

#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// A child's argument vector, prepared before fork or spawn. Paths among the
// arguments keep bytes that are not UTF-8 (see FileNameBytes.h).
class TArgv {
public:
    explicit TArgv(const QStringList& arguments) {
        for (const QString& argument : arguments)
            FBytes.push_back(EncodeFileName(argument));
        for (QByteArray& argument : FBytes)
            FPointers.push_back(argument.data());
        FPointers.push_back(nullptr);
    }
    char* const* Get() { return FPointers.data(); }

private:
    std::vector<QByteArray> FBytes;
    std::vector<char*> FPointers;
};

} // namespace

QString ExecutableFolder() {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (exe.isEmpty())
        return {};
    return exe.left(exe.lastIndexOf(u'/') + 1);
}

void RestoreChildSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
}

QString FindProgram(const QString& name) {
    const QFileInfo beside(ExecutableFolder() + name);
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(name);
}

void StopChild(TChildControl& control) {
    control.Stop.store(true);
    const pid_t pid = control.Pid.load();
    if (pid > 0)
        kill(-pid, SIGKILL);
}

TCapturedRun SpawnAndCapture(const QStringList& argv, const QString& workingDir,
                             TChildControl* control) {
    TCapturedRun run;
    if (argv.isEmpty())
        return run;
    TArgv arguments(argv);
    char* const* pointers = arguments.Get();
    const QByteArray dir = EncodeFileName(workingDir);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    if (!dir.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = 0;
    const int error = posix_spawnp(&child, pointers[0], &actions, &attributes, pointers, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    // Closed at once, so the pipe reports its end when the child exits.
    close(pipeFds[1]);
    if (error != 0) {
        close(pipeFds[0]);
        return run;
    }
    run.Started = true;
    if (control) {
        control->Pid.store(child);
        // A stop that came while the child started: its process id was not known yet.
        if (control->Stop.load())
            kill(-child, SIGKILL);
    }

    char buffer[16384];
    for (;;) {
        const ssize_t count = read(pipeFds[0], buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        run.Output.append(buffer, count);
    }
    close(pipeFds[0]);
    // Cleared before the child is reaped, so its number is never signalled
    // once the system may have given it to another process.
    if (control)
        control->Pid.store(0);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return run;
    }
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

bool StartDetached(const QString& program, const QStringList& arguments) {
    TArgv argv(QStringList{program} + arguments);
    // Prepared before fork: between fork and exec only async-signal-safe calls.
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t child = fork();
    if (child < 0) {
        if (devNull >= 0)
            close(devNull);
        return false;
    }
    if (child == 0) {
        // A grandchild in a session of its own outlives this program and is
        // never its zombie.
        setsid();
        if (fork() != 0)
            _exit(0);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
        }
        // execvp also runs a file without an interpreter line through /bin/sh.
        execvp(argv.Get()[0], argv.Get());
        _exit(127);
    }
    if (devNull >= 0)
        close(devNull);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
