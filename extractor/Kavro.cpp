// libKavro.so, the extraction engine. It runs an extractor program (yt-dlp by
// default) like a command-line tool and hands everything the program writes to
// its standard output to the caller's print callback as it arrives. Standard
// error goes on to the process's own, so the extractor's warnings never reach
// the caller's answer; the engine reads it only for the reason of a failure.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::string_view RuntimeHeader = "KavroEngineRuntime 1";

// Run's results below zero, as the program reads them.
constexpr int CannotStart = -1;
constexpr int FormatUnavailable = -2; // the extractor has no stream in the requested format
constexpr int AnswerTooLong = -3;     // the extractor printed far more than any answer

// No real answer comes near this; an extractor that prints without end is
// stopped here rather than fill the program's memory.
constexpr size_t AnswerLimit = 8 * 1024 * 1024;
constexpr std::string_view FormatUnavailableText = "Requested format is not available";

// Taken from the runtime image handed to Init.
std::string ExtractorName;
std::string OverrideVariable;
bool Initialised = false;

std::string ExecutableFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0)
        return {};
    std::string folder(path, static_cast<size_t>(length));
    return folder.substr(0, folder.rfind('/') + 1);
}

// The extractor: the one the override variable names, else the one beside the
// executable, else the first on PATH (posix_spawnp searches it for a bare name).
std::string ExtractorProgram() {
    if (!OverrideVariable.empty()) {
        const char* named = getenv(OverrideVariable.c_str());
        if (named && *named)
            return named;
    }
    const std::string beside = ExecutableFolder() + ExtractorName;
    if (access(beside.c_str(), X_OK) == 0)
        return beside;
    return ExtractorName;
}

} // namespace

extern "C" {

using TPrintProc = void (*)(const char* text);

// The runtime image is a zero-terminated text: a header line, then key=value lines.
__attribute__((visibility("default"))) int Init(int32_t /*reserved*/, const void* runtimeImage) {
    if (!runtimeImage)
        return 1;
    std::string_view image(static_cast<const char*>(runtimeImage));
    if (!image.starts_with(RuntimeHeader))
        return 2;
    std::string extractor, overrideVariable;
    while (!image.empty()) {
        const size_t end = image.find('\n');
        const std::string_view line = image.substr(0, end);
        image = end == std::string_view::npos ? std::string_view() : image.substr(end + 1);
        if (line.starts_with("extractor="))
            extractor = line.substr(10);
        else if (line.starts_with("override="))
            overrideVariable = line.substr(9);
    }
    if (extractor.empty())
        return 3;
    ExtractorName = extractor;
    OverrideVariable = overrideVariable;
    Initialised = true;
    return 0;
}

// Returns the extractor's exit status (128 + signal when killed), or below
// zero: -1 when it could not be started, -2 when it failed because the
// requested format is not available, -3 when it printed more than AnswerLimit.
__attribute__((visibility("default"))) int Run(int32_t argc, const char* const* argv,
                                               TPrintProc print) {
    if (!Initialised || argc < 1 || !argv || !print)
        return CannotStart;

    const std::string program = ExtractorProgram();
    std::vector<char*> childArgv;
    childArgv.push_back(const_cast<char*>(program.c_str()));
    for (int32_t i = 1; i < argc; ++i)
        childArgv.push_back(const_cast<char*>(argv[i]));
    childArgv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return CannotStart;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return CannotStart;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // A group of its own, so that a stop reaches the programs it starts too.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t child = 0;
    const int spawnError =
        posix_spawnp(&child, program.c_str(), &actions, &attributes, childArgv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawnError != 0) {
        close(out[0]);
        close(err[0]);
        fprintf(stderr, "libKavro: cannot start %s: %s\n", program.c_str(), strerror(spawnError));
        return CannotStart;
    }

    char buffer[65536 + 1];
    size_t printed = 0;
    bool tooLong = false;
    bool formatUnavailable = false;
    std::string errorTail; // the end of standard error, where the reason stands
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int openPipes = 2;
    while (openPipes > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || fd.revents == 0)
                continue;
            const ssize_t count = read(fd.fd, buffer, sizeof(buffer) - 1);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                close(fd.fd);
                fd.fd = -1;
                --openPipes;
                continue;
            }
            if (fd.fd == err[0]) {
                [[maybe_unused]] const ssize_t ignored =
                    write(STDERR_FILENO, buffer, static_cast<size_t>(count));
                errorTail.append(buffer, static_cast<size_t>(count));
                if (errorTail.find(FormatUnavailableText) != std::string::npos)
                    formatUnavailable = true;
                // Enough of the end stays to find the reason split between reads.
                if (errorTail.size() > 4096)
                    errorTail.erase(0, errorTail.size() - FormatUnavailableText.size());
                continue;
            }
            printed += static_cast<size_t>(count);
            if (printed > AnswerLimit) {
                if (!tooLong)
                    kill(-child, SIGKILL);
                tooLong = true;
                continue; // drained, not passed on
            }
            buffer[count] = '\0';
            print(buffer);
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return CannotStart;
    }
    if (tooLong)
        return AnswerTooLong;
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (exitStatus != 0 && formatUnavailable)
        return FormatUnavailable;
    return exitStatus;
}

} // extern "C"
