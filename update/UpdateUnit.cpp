#include "UpdateUnit.h"

#include "FileNameBytes.h"
#include "HostId.h"
#include "OpensslVerifyHelper.h"
#include "Process.h"
#include "SystemLanguage.h"
#include "TThread.h"
#include "UpdateHttpClient.h"
#include "UpdateProtocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<TZephUpdater*> CurrentUpdater{nullptr};

// The check's worker: one run, never shortened by a terminate request.
class TUpdateCheckThread : public TThread {
public:
    ~TUpdateCheckThread() override = default;

protected:
    void Execute() override { CurrentUpdater.load()->Execute(); }
};

namespace {

constexpr uint16_t KoreanLanguageId = 1042;
constexpr int InstallerNameAttempts = 100;

} // namespace

TUpdaterEnvironment TUpdaterEnvironment::Default() {
    TUpdaterEnvironment environment;
    environment.MachineLookup = GetActivePrivateIPAddress;
    environment.PublicKey = UpdatePublicKey;
    environment.StartInstaller = [](const QString& file, const QStringList& arguments) {
        StartDetached(file, arguments); // as the shell's start: its result is not examined
    };
    const QByteArray temporary = qgetenv("TMPDIR");
    environment.TemporaryFolder =
        temporary.startsWith('/') ? DecodeFileName(temporary) : QStringLiteral("/tmp");
    return environment;
}

QString InstallerParameters(const QString& programFolder) {
    return QStringLiteral("/SP- /silent /noicons \"/dir=") + programFolder + u'"';
}

QStringList SplitParameters(const QString& text) {
    QStringList arguments;
    QString current;
    bool quoted = false;
    bool any = false;
    for (const QChar c : text) {
        if (c == u'"') {
            quoted = !quoted;
            any = true;
        } else if (c == u' ' && !quoted) {
            if (any)
                arguments.append(current);
            current.clear();
            any = false;
        } else {
            current.append(c);
            any = true;
        }
    }
    if (any)
        arguments.append(current);
    return arguments;
}

QString SaveInstaller(const QByteArray& installer, const QString& temporaryFolder) {
    // A folder of the user's own, so that no other user can place or swap
    // anything where the installer goes; an existing one must be ours, a
    // real folder, and closed to others.
    const QString folder = temporaryFolder + QStringLiteral("/kavro-") + QString::number(getuid());
    const QByteArray folderPath = EncodeFileName(folder);
    if (mkdir(folderPath.constData(), 0700) != 0 && errno != EEXIST)
        throw EUpdateError("cannot create the installer's folder");
    struct stat info {};
    if (lstat(folderPath.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid() || (info.st_mode & 077) != 0)
        throw EUpdateError("the installer's folder is not the user's own");

    // The system's unique name (the empty placeholder stays), with ".exe" added;
    // that file is created new, never an existing one or a link.
    for (int attempt = 0; attempt < InstallerNameAttempts; ++attempt) {
        QByteArray placeholder = folderPath + "/tmpXXXXXX.tmp";
        const int placeholderFd = mkstemps(placeholder.data(), 4);
        if (placeholderFd < 0)
            throw EUpdateError("no unique temporary name");
        close(placeholderFd);
        const QByteArray path = placeholder + ".exe";
        const int fd =
            open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw EUpdateError("cannot create the installer");
        }
        // The mode asked for is cut by the umask; the owner must be able to run it.
        bool written = fchmod(fd, 0700) == 0;
        for (qsizetype done = 0; written && done < installer.size();) {
            const ssize_t n = write(fd, installer.constData() + done,
                                    static_cast<size_t>(installer.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            written = n > 0;
            done += n > 0 ? n : 0;
        }
        written = close(fd) == 0 && written;
        if (!written) {
            unlink(path.constData());
            throw EUpdateError("cannot write the installer");
        }
        return DecodeFileName(path);
    }
    throw EUpdateError("no unique temporary name");
}

TZephUpdater::TZephUpdater(int32_t UpdateCheckVersion, int32_t UpdateMessage,
                           const QString& UpdateURL, const QByteArray& ProgramName,
                           TMessageWindow* MainWindow, bool UseMainThread, bool AddLangSignature,
                           TUpdaterEnvironment Environment)
    : FUpdateCheckVersion(UpdateCheckVersion), FUpdateMessage(UpdateMessage), FUpdateURL(UpdateURL),
      FProgramName(ProgramName), FMainWindow(MainWindow), FUseMainThread(UseMainThread),
      FEnvironment(std::move(Environment)) {
    // The system's language, not the one chosen in the program.
    if (AddLangSignature)
        FProgramName += GetSystemDefaultLangID() == KoreanLanguageId ? "_ko" : "_en";
    CurrentUpdater.store(this);
    if (FUseMainThread)
        FHttpCli = std::make_unique<TUpdateHttpClient>();
    // Last: the worker sees a fully built object.
    FUpdateCheckThread = std::make_unique<TUpdateCheckThread>();
    FUpdateCheckThread->Start();
}

TZephUpdater::~TZephUpdater() {
    WaitFor();
}

void TZephUpdater::WaitFor() {
    if (!FUpdateCheckThread)
        return;
    FUpdateCheckThread->Terminate();
    FUpdateCheckThread->WaitFor();
    FUpdateCheckThread.reset();
}

void TZephUpdater::Execute() {
    try {
        FUpdateException = false;
        if (!FUseMainThread)
            FHttpCli = std::make_unique<TUpdateHttpClient>();
        FHttpCli->InactivityTimeout = FEnvironment.InactivityTimeout;

        char first[256] = {};
        char second[256] = {};
        if (!FEnvironment.MachineLookup || FEnvironment.MachineLookup(first, second) != 1)
            return;
        const QByteArray digest = MachineDigest(MachineIdentityText(first, second));
        TUpdateOffer offer;
        {
            const QByteArray answer = FHttpCli->Get(
                UpdateRequestUrl(FUpdateURL, FProgramName, digest), FEnvironment.MaxAnswerSize);
            offer = ParseUpdateAnswer(ReadUtf8Text(answer), FUpdateCheckVersion);
        }
        if (!offer.Newer)
            return;

        QByteArray package = FHttpCli->Get(offer.PackageUrl, FEnvironment.MaxPackageSize);
        if (package.size() <= 3 || !package.startsWith("MZP"))
            return;
        if (!VerifySignedStream(package, FEnvironment.PublicKey, FEnvironment.LibraryFolder))
            return;
        package.truncate(package.size() - 256);
        FUpdateFileName = SaveInstaller(package, FEnvironment.TemporaryFolder);
        package.clear();

        // The window answers on its own thread while this one waits.
        intptr_t answer = 0;
        TThread::Synchronize([&] {
            answer =
                FMainWindow ? FMainWindow->SendMessage(static_cast<uint32_t>(FUpdateMessage)) : 0;
        });
        if (answer == 1 && FEnvironment.StartInstaller)
            FEnvironment.StartInstaller(FUpdateFileName,
                                        SplitParameters(InstallerParameters(ExecutableFolder())));
    } catch (...) {
        FUpdateException = true;
    }
}
