#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The scripted HTTP server (testserver.py) on 127.0.0.1, serving files from a
// folder. It ends when this object goes away. Started with posix_spawn rather
// than QProcess, whose uninstrumented clone confuses ThreadSanitizer.
class TestServer {
public:
    explicit TestServer(const QString& root);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    QString Url(const QString& path) const;
    // Request heads received so far, as the server read them.
    QByteArray RequestLog() const;

private:
    QString Root;
    pid_t Pid = -1;
    int Input = -1; // the server's standard input: closing it ends the server
    int Port = 0;
};
