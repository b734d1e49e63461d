#include "EngineBridge.h"

#include "KavroError.h"
#include "Process.h"

#include <QFile>
#include <QFileInfo>

#include <QResource>

#include <dlfcn.h>

TEngineInitProc EngineInit = nullptr;
TEngineRunProc EngineRun = nullptr;
TEngineStopProc EngineStop = nullptr;

namespace {

QString LoadError = KavroMessage(QStringLiteral("EngineNotLoaded"));

// Raw bytes as printed during the current run. They are decoded once the run has
// ended, so a multi-byte character split between two prints arrives whole.
QByteArray PrintedBytes;
QString Output;
// The run printed more than any answer; what it printed is dropped.
bool AnswerTooLong = false;

} // namespace

extern "C" void EnginePrint(const char* text) {
    if (AnswerTooLong)
        return;
    PrintedBytes.append(text);
    if (PrintedBytes.size() > EngineAnswerLimit) {
        AnswerTooLong = true;
        PrintedBytes.clear();
    }
}

bool LoadEngine(const char* libraryName) {
    QResource image(QStringLiteral(":/MemDll2"));
    if (!image.isValid() || image.compressionAlgorithm() != QResource::NoCompression) {
        LoadError = KavroMessage(QStringLiteral("EngineResourceMissing"));
        return false;
    }

    // A bare name is looked for beside the executable first. dlopen would find it
    // there through the executable's RUNPATH too, but not when a sanitizer's
    // runtime makes the call on the program's behalf.
    QByteArray path(libraryName);
    if (!path.contains('/')) {
        const QString beside = ExecutableFolder() + QString::fromUtf8(libraryName);
        if (QFileInfo::exists(beside))
            path = QFile::encodeName(beside);
    }
    // Never unloaded: the engine may keep pointers into the process for its lifetime.
    void* library = dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        LoadError = KavroMessage(QStringLiteral("EngineLoadFailed"),
                                 {QString::fromUtf8(libraryName), QString::fromUtf8(dlerror())});
        return false;
    }
    auto init = reinterpret_cast<TEngineInitProc>(dlsym(library, "Init"));
    auto run = reinterpret_cast<TEngineRunProc>(dlsym(library, "Run"));
    if (!init || !run) {
        LoadError = KavroMessage(
            QStringLiteral("EngineExportMissing"),
            {QString::fromUtf8(libraryName), QString::fromLatin1(init ? "Run" : "Init")});
        return false;
    }
    // The resource's bytes belong to the executable's image and stay mapped.
    const int initResult = init(0, image.data());
    if (initResult != 0) {
        LoadError = KavroMessage(QStringLiteral("EngineInitFailed"), {QString::number(initResult)});
        return false;
    }
    EngineInit = init;
    EngineRun = run;
    EngineStop = reinterpret_cast<TEngineStopProc>(dlsym(library, "Stop"));
    LoadError.clear();
    return true;
}

void StopEngine() {
    if (EngineStop)
        EngineStop();
}

QString EngineLoadError() {
    return LoadError;
}

QString RunEngine(const std::vector<QByteArray>& arguments) {
    if (!EngineRun)
        throw EKavroError(LoadError);

    std::vector<const char*> argv;
    argv.reserve(arguments.size());
    for (const QByteArray& argument : arguments)
        argv.push_back(argument.constData());

    PrintedBytes.clear();
    Output.clear();
    AnswerTooLong = false;
    const int result = EngineRun(static_cast<int32_t>(argv.size()), argv.data(), EnginePrint);
    Output = QString::fromUtf8(PrintedBytes);
    PrintedBytes.clear();
    if (result == EngineFormatUnavailable)
        throw EKavroError(QStringLiteral("QualityUnavailable"));
    if (result == EngineAnswerTooLong || result == EngineStopped || AnswerTooLong)
        Output.clear(); // the attempt fails like any answer of no known shape
    else if (result < 0)
        throw EKavroError(QStringLiteral("ExtractorStartFailed"));
    return Output;
}

const QString& EngineOutput() {
    return Output;
}
