// libKavro.so, the extraction engine. It runs an extractor program (yt-dlp by
// default) like a command-line tool and hands everything the program writes to
// its standard output to the caller's print callback as it arrives. Standard
// error stays with the process, so the extractor's warnings never reach the
// caller's answer.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::string_view RuntimeHeader = "KavroEngineRuntime 1";

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

// Returns the extractor's exit status (128 + signal when killed), or -1 when it
// could not be started.
__attribute__((visibility("default"))) int Run(int32_t argc, const char* const* argv,
                                               TPrintProc print) {
    if (!Initialised || argc < 1 || !argv || !print)
        return -1;

    const std::string program = ExtractorProgram();
    std::vector<char*> childArgv;
    childArgv.push_back(const_cast<char*>(program.c_str()));
    for (int32_t i = 1; i < argc; ++i)
        childArgv.push_back(const_cast<char*>(argv[i]));
    childArgv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t child = 0;
    const int spawnError =
        posix_spawnp(&child, program.c_str(), &actions, nullptr, childArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawnError != 0) {
        close(pipeFds[0]);
        fprintf(stderr, "libKavro: cannot start %s: %s\n", program.c_str(), strerror(spawnError));
        return -1;
    }

    char buffer[65536 + 1];
    for (;;) {
        const ssize_t count = read(pipeFds[0], buffer, sizeof(buffer) - 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        buffer[count] = '\0';
        print(buffer);
    }
    close(pipeFds[0]);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

} // extern "C"
