#include "FakeEngine.h"

#include "EngineBridge.h"
#include "TestFiles.h"

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

void FakeEngine::SetAnswer(const QByteArrayList& pieces, int run) {
    const QString name = run == 0 ? QStringLiteral("answer") : QStringLiteral("answer%1").arg(run);
    WriteTestFile(Path(name), pieces.join('\x1f'));
}

void FakeEngine::SetResult(int result) {
    WriteTestFile(Path(QStringLiteral("result")), QByteArray::number(result));
}

int FakeEngine::RunCount() const {
    int count = 0;
    while (QFile::exists(Path(QStringLiteral("run%1").arg(count + 1))))
        ++count;
    return count;
}

QByteArrayList FakeEngine::Arguments(int run) const {
    QByteArray record = ReadTestFile(Path(QStringLiteral("run%1").arg(run)));
    record = record.mid(record.indexOf('\n') + 1);
    QByteArrayList arguments = record.split('\0');
    arguments.removeLast(); // every argument ends with a 0 byte
    return arguments;
}

QByteArray FakeEngine::ImageLine(int run) const {
    const QByteArray record = ReadTestFile(Path(QStringLiteral("run%1").arg(run)));
    return record.left(record.indexOf('\n'));
}
