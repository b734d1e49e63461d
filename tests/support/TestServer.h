#pragma once

#include <QProcess>
#include <QString>

// The scripted HTTP server (testserver.py) on 127.0.0.1, serving files from a folder.
// It ends when this object goes away.
class TestServer {
public:
    explicit TestServer(const QString& root);
    ~TestServer();

    QString Url(const QString& path) const;
    // Request heads received so far, as the server read them.
    QByteArray RequestLog() const;

private:
    QString Root;
    QProcess Process;
    int Port = 0;
};
