#include "TestServer.h"

#include <QFile>

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TestServer::TestServer(const QString& root) : Root(root) {
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe for the test server");
    const QByteArray script = KAVRO_TEST_SUPPORT_DIR "/testserver.py";
    const QByteArray folder = QFile::encodeName(root);
    char* argv[] = {const_cast<char*>("python3"), const_cast<char*>(script.constData()),
                    const_cast<char*>(folder.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const int error = posix_spawnp(&Pid, "python3", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    Input = input[1];
    if (error != 0) {
        close(output[0]);
        throw std::runtime_error("the test server did not start");
    }

    // The first line is the port; wait for it with a bound.
    QByteArray line;
    pollfd ready{output[0], POLLIN, 0};
    while (!line.contains('\n') && poll(&ready, 1, 20000) > 0) {
        char buffer[64];
        const ssize_t count = read(output[0], buffer, sizeof(buffer));
        if (count <= 0)
            break;
        line.append(buffer, count);
    }
    close(output[0]);
    Port = line.trimmed().toInt();
    if (Port <= 0)
        throw std::runtime_error("the test server printed no port");
}

TestServer::~TestServer() {
    if (Input >= 0)
        close(Input);
    if (Pid > 0) {
        int status = 0;
        while (waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

QString TestServer::Url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(Port).arg(path);
}

QByteArray TestServer::RequestLog() const {
    QFile log(Root + QStringLiteral("/requests.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}
