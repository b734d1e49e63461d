#include "EngineCommands.h"

#include "EngineInstaller.h"
#include "EngineLocation.h"
#include "GlobalLanguage.h"
#include "KavroError.h"

#include <QFile>
#include <QStandardPaths>
#include <QStringList>

#include <cstdio>

namespace {

void Print(FILE* stream, const QString& text) {
    fputs((text + u'\n').toLocal8Bit().constData(), stream);
    fflush(stream);
}

QString Text(const char* key, const QStringList& values = {}) {
    return TranslateMessage(KavroMessage(QString::fromLatin1(key), values));
}

const char* SourceKey(const std::string& source) {
    if (source == "managed")
        return "EngineSourceManaged";
    if (source == "beside the executable")
        return "EngineSourceBeside";
    if (source == "PATH")
        return "EngineSourcePath";
    return "EngineSourceOverride";
}

} // namespace

int ShowEngine() {
    const TExtractorChoice choice = ChooseExtractor("yt-dlp", "KAVRO_EXTRACTOR");
    QStringList program;
    for (const std::string& part : choice.Argv)
        program.append(QFile::decodeName(part.c_str()));
    const QString version = VersionLine(program);
    QString location = QFile::decodeName(choice.Location.c_str());
    if (choice.Source == "PATH")
        location = QStandardPaths::findExecutable(location);
    bool fine = true;
    if (version.isEmpty()) {
        Print(stdout, Text("EngineReportNoExtractor"));
        fine = false;
    } else {
        Print(stdout,
              Text("EngineReportExtractor", {version, Text(SourceKey(choice.Source)), location}));
        if (CompareVersions(version, QString::fromLatin1(MinimumExtractorVersion)) < 0) {
            Print(stdout,
                  Text("EngineReportTooOld", {QString::fromLatin1(MinimumExtractorVersion)}));
            fine = false;
        }
    }

    const std::string managedRuntime = ManagedCurrent("runtime");
    const QString runtime = managedRuntime.empty() ? QString()
                                                   : QFile::decodeName(managedRuntime.c_str()) +
                                                         QStringLiteral("/deno");
    const QString runtimeVersion = runtime.isEmpty() ? QString() : VersionLine({runtime});
    if (runtimeVersion.isEmpty()) {
        Print(stdout, Text("EngineReportNoRuntime"));
        fine = false;
    } else {
        Print(stdout, Text("EngineReportRuntime", {runtimeVersion, runtime}));
    }
    if (!fine)
        Print(stdout, Text("EngineReportFix"));
    return 0;
}

int UpdateEngine() {
    TEngineInstallOptions options = DefaultEngineInstallOptions();
    options.Progress = [](const QString& message) {
        Print(stdout, TranslateMessage(message));
    };
    bool complete = true;
    // Each on its own: a failure of one never undoes the other.
    const std::pair<const char*, TInstallOutcome (*)(const TEngineInstallOptions&)> programs[] = {
        {"yt-dlp", &UpdateExtractor},
        {"deno", &UpdateRuntime},
    };
    for (const auto& [name, update] : programs) {
        try {
            const TInstallOutcome outcome = update(options);
            Print(stdout, Text(outcome.Changed ? "EngineInstalled" : "EngineCurrent",
                               {QString::fromLatin1(name), outcome.Version}));
        } catch (const std::exception& error) {
            Print(stderr, QStringLiteral("kavro-cli: ") + TranslateMessage(ErrorMessage(error)));
            complete = false;
        }
    }
    return complete ? 0 : 1;
}
