#pragma once

#include <QByteArray>
#include <QString>

#include "TThread.h"

#include <functional>

// Kavro's own copies of the extractor and of its JavaScript runtime, installed
// and updated only after verification, into ManagedEngineFolder():
//   extractor/<version>/   the release's single-file program, unpacked
//   runtime/<version>/deno
//   <kind>/current         a link to the version in use, switched atomically
// The version before stays for one rollback; a version folder counts only with
// its verified marker, written last. A lock keeps two updating Kavros apart.

// The runtime version Kavro pins, with the SHA-256 of the unpacked binary.
struct TRuntimePin {
    QString Version;   // "2.9.6"
    QString Target;    // the release's name for the machine, "x86_64-unknown-linux-gnu"
    QByteArray Sha256; // hexadecimal, lower case
};
// The pin compiled into Kavro for this machine's architecture; empty Version
// when Kavro pins no runtime for it.
TRuntimePin PinnedRuntime();

struct TEngineInstallOptions {
    QString EngineFolder;      // ManagedEngineFolder()
    QString ExtractorReleases; // base address of the extractor's release files, ending in "/"
    QString ExtractorKey;      // the maintainers' armored OpenPGP public key
    QString RuntimeReleases;   // base address of the runtime's releases, ending in "/"
    TRuntimePin RuntimePin;
    // Progress for the terminal: a language key with its values (KavroMessage).
    std::function<void(const QString& message)> Progress;
    // Asked during downloads; true ends the attempt ("EngineUpdateStopped").
    std::function<bool()> Stopped;
};

// The options from the build's defaults and the environment
// (KAVRO_ENGINE_RELEASES, KAVRO_ENGINE_KEY, KAVRO_RUNTIME_RELEASES).
TEngineInstallOptions DefaultEngineInstallOptions();

struct TInstallOutcome {
    bool Changed = false; // a new version was installed
    QString Version;      // the version now in use
};

// Install or update one program. Throws EKavroError (a language key with its
// values) when anything is refused or fails; the installed version is then
// left exactly as it was, and nothing of the attempt stays behind.
TInstallOutcome UpdateExtractor(const TEngineInstallOptions& options);
TInstallOutcome UpdateRuntime(const TEngineInstallOptions& options);

// The version in use of a managed program ("extractor" or "runtime"), or empty.
QString ManagedVersion(const QString& engineFolder, const QString& kind);

// Updates both programs on a thread of its own when the last check is a day
// old or more (or there was none), and never reports: a failed check leaves
// the working engine as it was, and the next start of the program tries again
// a day later. Terminate() ends a download under way.
class TEngineUpdateThread : public TThread {
public:
    explicit TEngineUpdateThread(TEngineInstallOptions options);
    ~TEngineUpdateThread() override;
    // Whether a check is due now: a day since the last one began.
    static bool CheckDue(const QString& engineFolder);

protected:
    void Execute() override;

private:
    TEngineInstallOptions FOptions;
};

// The first line a program prints for `--version`, or empty when it does not run.
QString VersionLine(const QStringList& program);

// Dotted version numbers compared part by part: -1, 0 or 1.
int CompareVersions(const QString& a, const QString& b);

// The extractor version the video service needs at least.
inline constexpr char MinimumExtractorVersion[] = "2025.11.12";
