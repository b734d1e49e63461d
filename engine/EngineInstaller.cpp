#include "EngineInstaller.h"

#include "EngineLocation.h"
#include "HttpClient.h"
#include "KavroError.h"
#include "Process.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/utsname.h>
#include <unistd.h>

#ifndef KAVRO_ENGINE_RELEASES_DEFAULT
#define KAVRO_ENGINE_RELEASES_DEFAULT "https://github.com/yt-dlp/yt-dlp/releases/latest/download/"
#endif
#ifndef KAVRO_RUNTIME_RELEASES_DEFAULT
#define KAVRO_RUNTIME_RELEASES_DEFAULT "https://github.com/denoland/deno/releases/download/"
#endif

namespace {

// Changed with each Kavro release: the runtime publishes no signed sums, so the
// digest of the unpacked binary is Kavro's own (read from the same binary in
// deno's npm platform packages).
struct TPinEntry {
    const char* Machine;
    const char* Version;
    const char* Target;
    const char* Sha256;
};
constexpr TPinEntry RuntimePins[] = {
    {"x86_64", "2.9.6", "x86_64-unknown-linux-gnu",
     "bceb5b6a6239b0b010418406d8c77a508f67cf4337d94288f1c19fe71304aab0"},
    {"aarch64", "2.9.6", "aarch64-unknown-linux-gnu",
     "d08d392418df53f4e6e88a08909c0e1bccbf9adcead7232df72b6ad6075ec416"},
};

constexpr qint64 SumsLimit = 1024 * 1024;
constexpr qint64 SignatureLimit = 64 * 1024;
constexpr qint64 ExtractorLimit = 64 * 1024 * 1024;
constexpr qint64 RuntimeArchiveLimit = 256 * 1024 * 1024;
constexpr qint64 UnpackedLimit = 512 * 1024 * 1024;
constexpr int StallSeconds = 30;

// Unpacks a zip archive (also one behind a script line, as the extractor's
// single-file program is) with Python's zipfile. Every entry is checked before
// anything is written: no absolute path, no "..", no link, no more than the
// limit in all; with `only`, just that entry is written.
constexpr char UnpackScript[] = R"PY(
import os, stat, sys, zipfile
archive, target, only, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with zipfile.ZipFile(archive) as z:
    entries, total = [], 0
    for info in z.infolist():
        parts = info.filename.split("/")
        if (info.filename.startswith("/") or ".." in parts or "\\" in info.filename
                or stat.S_ISLNK(info.external_attr >> 16)):
            sys.exit("unsafe entry: " + info.filename)
        if only and info.filename != only:
            continue
        total += info.file_size
        if total > limit:
            sys.exit("the archive unpacks to more than %d bytes" % limit)
        entries.append(info)
    if only and not entries:
        sys.exit("no entry " + only)
    for info in entries:
        path = os.path.join(target, *[p for p in info.filename.split("/") if p])
        if info.is_dir():
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        written = 0
        with z.open(info) as source, open(path, "xb") as sink:
            while True:
                chunk = source.read(1 << 20)
                if not chunk:
                    break
                written += len(chunk)
                if written > info.file_size:
                    sys.exit("entry larger than it says: " + info.filename)
                sink.write(chunk)
)PY";

[[noreturn]] void Refuse(const char* key, const QStringList& values = {}) {
    throw EKavroError(QString::fromLatin1(key), values);
}

QString SystemReason() {
    return QString::fromLocal8Bit(strerror(errno));
}

void Report(const TEngineInstallOptions& options, const char* key, const QStringList& values) {
    if (options.Progress)
        options.Progress(KavroMessage(QString::fromLatin1(key), values));
}

// Holds the engine folder's lock while alive.
class TFolderLock {
public:
    explicit TFolderLock(const QString& folder) {
        if (!QDir().mkpath(folder))
            Refuse("EngineInstallFailed", {folder, SystemReason()});
        FFd = open(QFile::encodeName(folder + QStringLiteral("/.lock")).constData(),
                   O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (FFd < 0)
            Refuse("EngineInstallFailed", {folder, SystemReason()});
        // Another Kavro updating at the same time finishes first.
        while (flock(FFd, LOCK_EX) != 0) {
            if (errno != EINTR)
                Refuse("EngineInstallFailed", {folder, SystemReason()});
        }
    }
    ~TFolderLock() { close(FFd); }

private:
    int FFd = -1;
};

// A folder for one attempt beside the versions; removed with everything in it
// unless it was taken over.
class TStaging {
public:
    explicit TStaging(const QString& kindFolder) {
        if (!QDir().mkpath(kindFolder))
            Refuse("EngineInstallFailed", {kindFolder, SystemReason()});
        QByteArray name = QFile::encodeName(kindFolder + QStringLiteral("/.staging-XXXXXX"));
        if (!mkdtemp(name.data()))
            Refuse("EngineInstallFailed", {kindFolder, SystemReason()});
        FPath = QFile::decodeName(name);
    }
    ~TStaging() { QDir(FPath).removeRecursively(); }
    QString File(const QString& name) const { return FPath + u'/' + name; }

private:
    QString FPath;
};

QString FileName(const QString& url) {
    return url.mid(url.lastIndexOf(u'/') + 1);
}

// Fetches `url` into a new file, refusing more than `limit` bytes.
void Fetch(const TEngineInstallOptions& options, const QString& url, const QString& path,
           qint64 limit) {
    const int fd =
        open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        Refuse("EngineInstallFailed", {path, SystemReason()});
    bool tooLarge = false;
    int lastTenth = -1;
    THttpClient client;
    client.SetStallTimeout(StallSeconds);
    if (options.Stopped)
        client.SetStopCheck(options.Stopped);
    client.SetProgress([&](THttpClient*, int64_t length, int64_t read, bool& abort) {
        if (options.Stopped && options.Stopped()) {
            abort = true;
            return;
        }
        if (length > limit || read > limit) {
            tooLarge = true;
            abort = true;
            return;
        }
        const int tenth = length > 0 ? static_cast<int>(read * 10 / length) : -1;
        if (tenth != lastTenth && tenth >= 0) {
            lastTenth = tenth;
            Report(options, "EngineDownloading", {FileName(url), QString::number(tenth * 10)});
        }
    });
    try {
        client.Get(url, fd);
    } catch (const EKavroError& error) {
        close(fd);
        throw EKavroError(KavroMessage(QStringLiteral("EngineDownloadFailed"), {url}) +
                          MessageCauseSeparator + ErrorMessage(error));
    }
    const bool closed = close(fd) == 0;
    if (options.Stopped && options.Stopped())
        Refuse("EngineUpdateStopped");
    if (tooLarge)
        Refuse("EngineTooLarge", {url});
    if (!closed)
        Refuse("EngineInstallFailed", {path, SystemReason()});
}

QByteArray Sha256OfFile(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return hash.result().toHex();
}

// The binary key inside an armored OpenPGP key block, for gpgv's keyring.
QByteArray Dearmor(const QByteArray& armored) {
    const QList<QByteArray> lines = armored.split('\n');
    QByteArray base64;
    bool inBlock = false, inBody = false;
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.startsWith("-----BEGIN PGP PUBLIC KEY BLOCK-----")) {
            inBlock = true;
        } else if (line.startsWith("-----END")) {
            break;
        } else if (inBlock && !inBody) {
            inBody = line.isEmpty(); // armor headers end with a blank line
        } else if (inBody && !line.startsWith('=')) {
            base64 += line;
        }
    }
    return QByteArray::fromBase64(base64);
}

// Whether `signature` is a good signature of `data` by the key in `keyFile`,
// checked by gpgv against a keyring that holds that key alone.
bool GoodSignature(const QString& keyFile, const QString& signature, const QString& data,
                   const TStaging& staging) {
    QFile key(keyFile);
    if (!key.open(QIODevice::ReadOnly))
        return false;
    const QByteArray binary = Dearmor(key.readAll());
    const QString keyring = staging.File(QStringLiteral("keyring.gpg"));
    QFile ring(keyring);
    if (binary.isEmpty() || !ring.open(QIODevice::WriteOnly) || ring.write(binary) != binary.size())
        return false;
    ring.close();
    const TCapturedRun run =
        SpawnAndCapture({QStringLiteral("gpgv"), QStringLiteral("--status-fd"), QStringLiteral("1"),
                         QStringLiteral("--keyring"), keyring, signature, data},
                        QStringLiteral("/"));
    return run.Started && run.ExitCode == 0 && run.Output.contains("[GNUPG:] GOODSIG ");
}

// The digest that a verified sums file gives for `name`, or empty.
QByteArray DigestInSums(const QString& sumsFile, const QString& name) {
    QFile file(sumsFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 2 && (fields[1] == name.toUtf8() || fields[1] == '*' + name.toUtf8()))
            return fields[0].toLower();
    }
    return {};
}

void Unpack(const QString& archive, const QString& target, const QString& only) {
    if (!QDir().mkpath(target))
        Refuse("EngineInstallFailed", {target, SystemReason()});
    const TCapturedRun run = SpawnAndCapture(
        {QStringLiteral("python3"), QStringLiteral("-I"), QStringLiteral("-c"),
         QString::fromLatin1(UnpackScript), archive, target, only, QString::number(UnpackedLimit)},
        QStringLiteral("/"));
    if (!run.Started || run.ExitCode != 0)
        Refuse("EngineUnpackFailed", {FileName(archive), QString::fromUtf8(run.Output).trimmed()});
}

} // namespace

QString VersionLine(const QStringList& program) {
    const TCapturedRun run =
        SpawnAndCapture(program + QStringList{QStringLiteral("--version")}, QStringLiteral("/"));
    if (!run.Started || run.ExitCode != 0)
        return {};
    return QString::fromUtf8(run.Output).section(u'\n', 0, 0).trimmed();
}

namespace {

struct TInstalled {
    QString Version;
    QByteArray Sha256;
};

TInstalled Installed(const QString& kindFolder) {
    const QString current = QFileInfo(kindFolder + QStringLiteral("/current")).canonicalFilePath();
    QFile marker(current + u'/' + QString::fromLatin1(VerifiedMarker));
    if (current.isEmpty() || !marker.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = marker.readAll().split('\n');
    return {QString::fromUtf8(lines.value(0)), lines.value(1)};
}

// Makes a verified version folder the one in use: the marker is written last
// into the staged folder, which then takes its version's name, and the
// "current" link is replaced in one rename. Keeps the version before it.
void Activate(const QString& kindFolder, const QString& staged, const QString& version,
              const QByteArray& sha256) {
    QFile marker(staged + u'/' + QString::fromLatin1(VerifiedMarker));
    const QByteArray content = version.toUtf8() + '\n' + sha256 + '\n';
    if (!marker.open(QIODevice::WriteOnly) || marker.write(content) != content.size() ||
        !marker.flush() || fsync(marker.handle()) != 0)
        Refuse("EngineInstallFailed", {kindFolder, marker.errorString()});
    marker.close();

    const QString previous = QFileInfo(kindFolder + QStringLiteral("/current")).canonicalFilePath();
    const QString target = kindFolder + u'/' + version;
    if (QFileInfo(target).canonicalFilePath() != previous)
        QDir(target).removeRecursively(); // an earlier attempt's leftover, never in use
    const QByteArray link = QFile::encodeName(kindFolder + QStringLiteral("/.current-new"));
    unlink(link.constData());
    if (rename(QFile::encodeName(staged).constData(), QFile::encodeName(target).constData()) != 0 ||
        symlink(QFile::encodeName(version).constData(), link.constData()) != 0 ||
        rename(link.constData(),
               QFile::encodeName(kindFolder + QStringLiteral("/current")).constData()) != 0)
        Refuse("EngineInstallFailed", {kindFolder, SystemReason()});

    // One rollback: the version before stays, older ones go.
    const QStringList versions = QDir(kindFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : versions) {
        const QString path = QFileInfo(kindFolder + u'/' + name).canonicalFilePath();
        if (path != QFileInfo(target).canonicalFilePath() && path != previous)
            QDir(path).removeRecursively();
    }
}

} // namespace

TRuntimePin PinnedRuntime() {
    utsname machine{};
    uname(&machine);
    for (const TPinEntry& pin : RuntimePins) {
        if (qstrcmp(machine.machine, pin.Machine) == 0)
            return {QString::fromLatin1(pin.Version), QString::fromLatin1(pin.Target),
                    QByteArray(pin.Sha256)};
    }
    return {};
}

TEngineInstallOptions DefaultEngineInstallOptions() {
    TEngineInstallOptions options;
    options.EngineFolder = QFile::decodeName(ManagedEngineFolder().c_str());
    options.ExtractorReleases = qEnvironmentVariable("KAVRO_ENGINE_RELEASES",
                                                     QStringLiteral(KAVRO_ENGINE_RELEASES_DEFAULT));
    options.ExtractorKey =
        qEnvironmentVariable("KAVRO_ENGINE_KEY", QStringLiteral(":/yt-dlp-release-key.asc"));
    options.RuntimeReleases = qEnvironmentVariable("KAVRO_RUNTIME_RELEASES",
                                                   QStringLiteral(KAVRO_RUNTIME_RELEASES_DEFAULT));
    options.RuntimePin = PinnedRuntime();
    return options;
}

TEngineUpdateThread::TEngineUpdateThread(TEngineInstallOptions options)
    : FOptions(std::move(options)) {
    FOptions.Stopped = [this] {
        return Terminated();
    };
}

TEngineUpdateThread::~TEngineUpdateThread() {
    Terminate();
    if (Started())
        WaitFor();
}

bool TEngineUpdateThread::CheckDue(const QString& engineFolder) {
    const QFileInfo stamp(engineFolder + QStringLiteral("/.last-check"));
    return !stamp.exists() ||
           stamp.lastModified().secsTo(QDateTime::currentDateTime()) >= 24 * 60 * 60 ||
           stamp.lastModified() > QDateTime::currentDateTime(); // a clock set back
}

void TEngineUpdateThread::Execute() {
    if (FOptions.EngineFolder.isEmpty() || !CheckDue(FOptions.EngineFolder) ||
        !QDir().mkpath(FOptions.EngineFolder))
        return;
    // Stamped when the check begins: a failing check is not retried at every start.
    QFile stamp(FOptions.EngineFolder + QStringLiteral("/.last-check"));
    if (!stamp.open(QIODevice::WriteOnly))
        return;
    stamp.close();
    for (auto update : {&UpdateExtractor, &UpdateRuntime}) {
        if (Terminated())
            return;
        try {
            update(FOptions);
        } catch (...) {
            // The working engine stays as it was; the next check comes a day later.
        }
    }
}

int CompareVersions(const QString& a, const QString& b) {
    const QStringList left = a.split(u'.');
    const QStringList right = b.split(u'.');
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const qlonglong x = left.value(i).toLongLong();
        const qlonglong y = right.value(i).toLongLong();
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

QString ManagedVersion(const QString& engineFolder, const QString& kind) {
    return Installed(engineFolder + u'/' + kind).Version;
}

TInstallOutcome UpdateExtractor(const TEngineInstallOptions& options) {
    if (options.EngineFolder.isEmpty())
        Refuse("EngineInstallFailed", {QString(), QStringLiteral("no home folder")});
    const TFolderLock lock(options.EngineFolder);
    const QString kindFolder = options.EngineFolder + QStringLiteral("/extractor");
    const TStaging staging(kindFolder);
    const QString sums = staging.File(QStringLiteral("SHA2-256SUMS"));
    const QString signature = staging.File(QStringLiteral("SHA2-256SUMS.sig"));
    const QString program = staging.File(QStringLiteral("yt-dlp"));

    Report(options, "EngineChecking", {QStringLiteral("yt-dlp")});
    Fetch(options, options.ExtractorReleases + QStringLiteral("SHA2-256SUMS"), sums, SumsLimit);
    Fetch(options, options.ExtractorReleases + QStringLiteral("SHA2-256SUMS.sig"), signature,
          SignatureLimit);
    if (!GoodSignature(options.ExtractorKey, signature, sums, staging))
        Refuse("EngineSignatureRefused", {QStringLiteral("yt-dlp")});
    const QByteArray digest = DigestInSums(sums, QStringLiteral("yt-dlp"));
    if (digest.isEmpty())
        Refuse("EngineNotInSums", {QStringLiteral("yt-dlp")});

    const TInstalled installed = Installed(kindFolder);
    if (!installed.Version.isEmpty() && installed.Sha256 == digest)
        return {false, installed.Version};

    Fetch(options, options.ExtractorReleases + QStringLiteral("yt-dlp"), program, ExtractorLimit);
    if (Sha256OfFile(program) != digest)
        Refuse("EngineDigestMismatch", {QStringLiteral("yt-dlp")});
    const QString unpacked = staging.File(QStringLiteral("unpacked"));
    Unpack(program, unpacked, QString());
    if (!QFileInfo(unpacked + QStringLiteral("/__main__.py")).isFile())
        Refuse("EngineUnpackFailed", {QStringLiteral("yt-dlp"), QStringLiteral("no __main__.py")});

    // It runs, and says which version it is, before anything switches to it.
    const QString version = VersionLine({QStringLiteral("python3"), unpacked});
    static const QRegularExpression versionPattern(
        QStringLiteral("^\\d{4}\\.\\d{1,2}\\.\\d{1,2}(\\.\\d+)?$"));
    if (!versionPattern.match(version).hasMatch())
        Refuse("EngineTestRunFailed", {QStringLiteral("yt-dlp"), version});
    if (!installed.Version.isEmpty() && CompareVersions(version, installed.Version) <= 0)
        return {false, installed.Version};

    Activate(kindFolder, unpacked, version, digest);
    return {true, version};
}

TInstallOutcome UpdateRuntime(const TEngineInstallOptions& options) {
    const TRuntimePin& pin = options.RuntimePin;
    if (pin.Version.isEmpty())
        Refuse("EngineNoRuntimeForMachine");
    if (options.EngineFolder.isEmpty())
        Refuse("EngineInstallFailed", {QString(), QStringLiteral("no home folder")});
    const TFolderLock lock(options.EngineFolder);
    const QString kindFolder = options.EngineFolder + QStringLiteral("/runtime");
    const TInstalled installed = Installed(kindFolder);
    if (installed.Version == pin.Version && installed.Sha256 == pin.Sha256)
        return {false, installed.Version};

    const TStaging staging(kindFolder);
    const QString archive = staging.File(QStringLiteral("deno.zip"));
    Report(options, "EngineChecking", {QStringLiteral("deno")});
    Fetch(options,
          options.RuntimeReleases + u'v' + pin.Version + QStringLiteral("/deno-") + pin.Target +
              QStringLiteral(".zip"),
          archive, RuntimeArchiveLimit);
    const QString unpacked = staging.File(QStringLiteral("unpacked"));
    Unpack(archive, unpacked, QStringLiteral("deno"));
    const QString binary = unpacked + QStringLiteral("/deno");
    // Checked before it is ever run.
    if (Sha256OfFile(binary) != pin.Sha256)
        Refuse("EngineDigestMismatch", {QStringLiteral("deno")});
    QFile::setPermissions(binary, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                      QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                      QFileDevice::ExeOther);
    const QString version = VersionLine({binary});
    if (!version.startsWith(QStringLiteral("deno ") + pin.Version))
        Refuse("EngineTestRunFailed", {QStringLiteral("deno"), version});

    Activate(kindFolder, unpacked, pin.Version, pin.Sha256);
    return {true, pin.Version};
}
