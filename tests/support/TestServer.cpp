#include "TestServer.h"

#include <QFile>

#include <stdexcept>

TestServer::TestServer(const QString& root) : Root(root) {
    Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Process.start(QStringLiteral("python3"),
                  {QStringLiteral(KAVRO_TEST_SUPPORT_DIR "/testserver.py"), root});
    if (!Process.waitForStarted(10000) || !Process.waitForReadyRead(10000))
        throw std::runtime_error("the test server did not start");
    Port = Process.readLine().trimmed().toInt();
    if (Port <= 0)
        throw std::runtime_error("the test server printed no port");
}

TestServer::~TestServer() {
    Process.closeWriteChannel();
    if (!Process.waitForFinished(10000))
        Process.kill();
    Process.waitForFinished(10000);
}

QString TestServer::Url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(Port).arg(path);
}

QByteArray TestServer::RequestLog() const {
    QFile log(Root + QStringLiteral("/requests.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}
