#include "FakeEngine.h"

#include "EngineBridge.h"

#include <QFile>

#include <stdexcept>

FakeEngine::FakeEngine() {
    qputenv("KAVRO_FAKE_ENGINE_DIR", Dir.path().toUtf8());
}

FakeEngine::~FakeEngine() {
    qunsetenv("KAVRO_FAKE_ENGINE_DIR");
}

void FakeEngine::Load() {
    static const bool loaded = LoadEngine(KAVRO_FAKE_ENGINE_PATH);
    if (!loaded)
        throw std::runtime_error(EngineLoadError().toStdString());
}

QString FakeEngine::Path(const QString& name) const {
    return Dir.filePath(name);
}

static void WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

static QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void FakeEngine::SetAnswer(const QByteArrayList& pieces, int run) {
    const QString name = run == 0 ? QStringLiteral("answer") : QStringLiteral("answer%1").arg(run);
    WriteFile(Path(name), pieces.join('\x1f'));
}

void FakeEngine::SetResult(int result) {
    WriteFile(Path(QStringLiteral("result")), QByteArray::number(result));
}

int FakeEngine::RunCount() const {
    int count = 0;
    while (QFile::exists(Path(QStringLiteral("run%1").arg(count + 1))))
        ++count;
    return count;
}

QByteArrayList FakeEngine::Arguments(int run) const {
    QByteArray record = ReadFile(Path(QStringLiteral("run%1").arg(run)));
    record = record.mid(record.indexOf('\n') + 1);
    QByteArrayList arguments = record.split('\0');
    arguments.removeLast(); // every argument ends with a 0 byte
    return arguments;
}

QByteArray FakeEngine::ImageLine(int run) const {
    const QByteArray record = ReadFile(Path(QStringLiteral("run%1").arg(run)));
    return record.left(record.indexOf('\n'));
}
