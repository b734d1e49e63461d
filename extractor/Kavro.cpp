// libKavro.so, the extraction engine. It runs an extractor program (yt-dlp by
// default) like a command-line tool and hands everything the program writes to
// its standard output to the caller's print callback as it arrives. Standard
// error goes on to the process's own, so the extractor's warnings never reach
// the caller's answer; the engine reads it only for the reason of a failure.

#include "EngineLocation.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <algorithm>
#include <atomic>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::string_view RuntimeHeader = "KavroEngineRuntime 1";

// Run's results below zero, as the program reads them.
constexpr int CannotStart = -1;
constexpr int FormatUnavailable = -2; // the extractor has no stream in the requested format
constexpr int AnswerTooLong = -3;     // the extractor printed far more than any answer
constexpr int Stopped = -4;           // ended by Stop

// No real answer comes near this; an extractor that prints without end is
// stopped here rather than fill the program's memory.
constexpr size_t AnswerLimit = 8 * 1024 * 1024;
constexpr std::string_view FormatUnavailableText = "Requested format is not available";

// The extractor's standard error, passed on to the process's own and read for
// the reason of a failure. Enough of its end is kept to find the reason split
// between two reads.
class TErrorOutput {
public:
    void Add(const char* data, size_t size) {
        [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, data, size);
        FTail.append(data, size);
        if (FTail.find(FormatUnavailableText) != std::string::npos)
            FFormatUnavailable = true;
        if (FTail.size() > 4096)
            FTail.erase(0, FTail.size() - FormatUnavailableText.size());
    }
    // The run's result for an exit status.
    int Result(int status) const {
        return status != 0 && FFormatUnavailable ? FormatUnavailable : status;
    }

private:
    std::string FTail;
    bool FFormatUnavailable = false;
};

// Taken from the runtime image handed to Init.
std::string WorkerProgram;
std::string ExtractorName;
std::string OverrideVariable;
bool Initialised = false;

using TPrintProcForWorker = void (*)(const char* text);

// The resident extractor worker: one Python process that keeps the
// extractor's package imported between runs. Requests go one at a time.
struct TWorker {
    pid_t Pid = -1;
    int Channel = -1;  // our end of the request/answer socket
    int Lifeline = -1; // write end, never written: it closes when we end
    std::string Key;   // the extractor it imported
    int Served = 0;
};
TWorker Worker;
// What Stop ends, readable without the run's lock: the one-shot extractor's
// process group, or the worker serving a request.
std::atomic<pid_t> RunningChild{0};
std::atomic<pid_t> BusyWorker{0};
std::atomic<bool> StopRequested{false};
std::string FailedWorkerKey; // a worker that could not serve is not tried again
std::mutex RunMutex;

void StopWorker() {
    if (Worker.Pid > 0) {
        kill(-Worker.Pid, SIGKILL);
        while (waitpid(Worker.Pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (Worker.Channel >= 0)
        close(Worker.Channel);
    if (Worker.Lifeline >= 0)
        close(Worker.Lifeline);
    Worker = TWorker();
}

// A descriptor moved to 10 or above, so that placing it at 3 or 4 in the child
// cannot overwrite another one on the way.
int HighDescriptor(int fd) {
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return high;
}

bool StartWorker(const std::string& interpreter, const std::string& folder,
                 const std::string& key) {
    int channel[2], lifeline[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0)
        return false;
    if (pipe2(lifeline, O_CLOEXEC) != 0) {
        close(channel[0]);
        close(channel[1]);
        return false;
    }
    const int childChannel = HighDescriptor(channel[1]);
    const int childLifeline = HighDescriptor(lifeline[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Whatever bypasses the framed streams goes to standard error, never into an answer.
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childLifeline, 3);
    posix_spawn_file_actions_adddup2(&actions, childChannel, 4);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::string python = interpreter, flag = "-c", program = WorkerProgram, path = folder;
    char* argv[] = {python.data(), flag.data(), program.data(), path.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, python.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(childChannel);
    close(childLifeline);
    if (error != 0) {
        close(channel[0]);
        close(lifeline[1]);
        return false;
    }
    Worker = {pid, channel[0], lifeline[1], key};
    return true;
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t count = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += static_cast<size_t>(count);
    }
    return true;
}

bool ReceiveAll(int fd, char* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t count = recv(fd, data + got, size - got, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

void AppendUint32(std::string& data, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        data.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint32_t ReadUint32(const char* data) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

// One request through the worker. False when the worker could not answer; the
// caller then runs the one-shot program, and nothing was printed yet.
bool RunThroughWorker(const std::vector<std::string>& arguments, TPrintProcForWorker print,
                      int& result) {
    std::string request;
    AppendUint32(request, static_cast<uint32_t>(arguments.size()));
    for (const std::string& argument : arguments) {
        AppendUint32(request, static_cast<uint32_t>(argument.size()));
        request += argument;
    }
    if (!SendAll(Worker.Channel, request))
        return false;
    BusyWorker.store(Worker.Pid);
    struct TIdle {
        ~TIdle() { BusyWorker.store(0); }
    } idle;

    // The answer is kept until it is complete, so that a worker that dies
    // half-way leaves nothing printed twice.
    std::string answer;
    TErrorOutput errors;
    char head[5];
    for (;;) {
        if (!ReceiveAll(Worker.Channel, head, sizeof(head)))
            return false;
        const uint32_t size = ReadUint32(head + 1);
        if (head[0] == 'X') {
            const int status = static_cast<int>(size);
            result = errors.Result(status);
            break;
        }
        std::string data(size, '\0');
        if (!ReceiveAll(Worker.Channel, data.data(), size))
            return false;
        if (head[0] == 'E') {
            errors.Add(data.data(), data.size());
        } else {
            answer += data;
            if (answer.size() > AnswerLimit) {
                StopWorker(); // it would go on printing into the next request
                result = AnswerTooLong;
                return true;
            }
        }
    }
    ++Worker.Served;
    if (!answer.empty())
        print(answer.c_str());
    return true;
}

// How the worker imports the extractor: with the Python that the extractor's
// own script line names, and first on Python's path Kavro's own unpacked copy,
// or a single-file program (a zip archive behind the script line), or nothing
// for a script that imports the installed package. No worker (false) for
// anything else, such as a compiled program or a stand-in.
bool WorkerImport(const TExtractorChoice& choice, std::string& interpreter, std::string& path) {
    if (choice.Source == "managed") {
        interpreter = choice.Argv.front();
        path = choice.Location;
        return true;
    }
    if (choice.Source != "PATH" && choice.Source != "beside the executable")
        return false;
    std::string program = choice.Location;
    if (program.find('/') == std::string::npos) {
        const char* searchPath = getenv("PATH");
        std::string folders = searchPath ? searchPath : "";
        program.clear();
        for (size_t start = 0; start <= folders.size();) {
            const size_t end = std::min(folders.find(':', start), folders.size());
            const std::string candidate =
                folders.substr(start, end - start) + "/" + choice.Location;
            if (end > start && access(candidate.c_str(), X_OK) == 0) {
                program = candidate;
                break;
            }
            start = end + 1;
        }
    }
    FILE* file = program.empty() ? nullptr : fopen(program.c_str(), "rb");
    if (!file)
        return false;
    char head[512] = {};
    const size_t size = fread(head, 1, sizeof(head) - 1, file);
    fclose(file);
    const std::string_view start(head, size);
    const size_t lineEnd = start.find('\n');
    if (!start.starts_with("#!") || lineEnd == std::string_view::npos)
        return false;
    // "#!/usr/bin/python3" or "#!/usr/bin/env python3", with any blanks.
    std::vector<std::string> words;
    const std::string line(start.substr(2, lineEnd - 2));
    for (size_t at = 0; at < line.size();) {
        const size_t begin = line.find_first_not_of(" \t\r", at);
        if (begin == std::string::npos)
            break;
        const size_t end = std::min(line.find_first_of(" \t\r", begin), line.size());
        words.push_back(line.substr(begin, end - begin));
        at = end;
    }
    if (words.size() >= 2 && words[0].ends_with("/env"))
        words.erase(words.begin());
    if (words.size() != 1 || words[0].find("python") == std::string::npos)
        return false;
    interpreter = words[0];
    path = start.substr(lineEnd + 1).starts_with("PK\x03\x04") ? program : std::string();
    return true;
}

} // namespace

extern "C" {

using TPrintProc = void (*)(const char* text);

// The runtime image is a zero-terminated text: a header line, key=value lines,
// then after a blank line the extractor worker's Python program.
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
        if (line.empty())
            break;
        if (line.starts_with("extractor="))
            extractor = line.substr(10);
        else if (line.starts_with("override="))
            overrideVariable = line.substr(9);
    }
    if (extractor.empty())
        return 3;
    ExtractorName = extractor;
    OverrideVariable = overrideVariable;
    WorkerProgram = image;
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
    // With SIGCHLD ignored the kernel reaps the extractor before it can be
    // waited for, and its exit status is lost.
    struct sigaction childSignal {};
    if (sigaction(SIGCHLD, nullptr, &childSignal) == 0 && childSignal.sa_handler == SIG_IGN) {
        childSignal.sa_handler = SIG_DFL;
        sigaction(SIGCHLD, &childSignal, nullptr);
    }

    StopRequested.store(false);
    // posix_spawnp searches PATH for a bare name.
    const TExtractorChoice choice = ChooseExtractor(ExtractorName, OverrideVariable);
    const std::string& program = choice.Argv.front();
    std::vector<std::string> prefix(choice.Argv.begin(), choice.Argv.end());
    if (!choice.Runtime.empty()) {
        prefix.push_back("--js-runtimes");
        prefix.push_back("deno:" + choice.Runtime);
    }
    std::lock_guard lock(RunMutex);
    std::string interpreter, importPath;
    if (!WorkerProgram.empty() && WorkerImport(choice, interpreter, importPath)) {
        const std::string key = choice.Source + ":" + choice.Location;
        if (Worker.Key != key)
            StopWorker();
        if (Worker.Pid < 0 && FailedWorkerKey != key)
            StartWorker(interpreter, importPath, key);
        if (Worker.Pid > 0) {
            std::vector<std::string> arguments(
                prefix.begin() + static_cast<long>(choice.Argv.size()), prefix.end());
            for (int32_t i = 1; i < argc; ++i)
                arguments.emplace_back(argv[i]);
            int result = 0;
            if (RunThroughWorker(arguments, print, result))
                return result;
            if (StopRequested.load()) {
                StopWorker(); // ended by Stop: started again by the next run
                return Stopped;
            }
            // A worker that never answered will not: this extractor goes one-shot.
            if (Worker.Served == 0)
                FailedWorkerKey = key;
            StopWorker();
        }
    }

    std::vector<char*> childArgv;
    for (std::string& part : prefix)
        childArgv.push_back(part.data());
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
    if (spawnError == 0) {
        RunningChild.store(child);
        if (StopRequested.load()) // a Stop that came while it started
            kill(-child, SIGKILL);
    }
    if (spawnError != 0) {
        close(out[0]);
        close(err[0]);
        fprintf(stderr, "libKavro: cannot start %s: %s\n", program.c_str(), strerror(spawnError));
        return CannotStart;
    }

    char buffer[65536 + 1];
    size_t printed = 0;
    bool tooLong = false;
    TErrorOutput errors;
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
                errors.Add(buffer, static_cast<size_t>(count));
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

    RunningChild.store(0);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return CannotStart;
    }
    if (tooLong)
        return AnswerTooLong;
    if (StopRequested.load())
        return Stopped;
    return errors.Result(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Ends the run in progress, from any thread: the extractor with everything it
// started, or the worker's request (the worker is started again next time).
__attribute__((visibility("default"))) void Stop() {
    StopRequested.store(true);
    for (const std::atomic<pid_t>* running : {&RunningChild, &BusyWorker}) {
        const pid_t pid = running->load();
        if (pid > 0)
            kill(-pid, SIGKILL);
    }
}

} // extern "C"
