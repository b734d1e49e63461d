// kavro-cli: the download job behind a terminal instead of the window.
//   kavro-cli [--quality N | --quality EXT:HEIGHT] [--output DIR] [--connections N] URL
//   kavro-cli --list

#include "DownloadStatus.h"
#include "EngineBridge.h"
#include "EngineCommands.h"
#include "FileNameBytes.h"
#include "GlobalLanguage.h"
#include "KavroError.h"
#include "Process.h"
#include "QualityCatalogue.h"
#include "TerminationSignal.h"
#include "uDownloadThread.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder named with bytes that are not UTF-8 is shown with those bytes, as
// the user typed it.
void Print(FILE* stream, const QString& text) {
    fputs(EncodeFileName(text).constData(), stream);
    fflush(stream);
}

constexpr int MaxConnections = 8;

// Asked for, the usage goes to standard output and is no error.
int Usage(FILE* stream) {
    Print(stream, QStringLiteral("usage: kavro-cli [--quality N | --quality EXT:HEIGHT] "
                                 "[--output DIR] [--connections 1-%1] URL\n"
                                 "       kavro-cli --list\n"
                                 "       kavro-cli --engine\n       kavro-cli --update-engine\n"
                                 "       kavro-cli --help\n")
                      .arg(MaxConnections));
    return stream == stdout ? 0 : 2;
}

QString QualityLabel(const TQualityCatalogueEntry& entry) {
    return GetLanguageString(QString::fromLatin1(entry.PrefixKey)) +
           QString::fromLatin1(entry.Literal);
}

// Index of the catalogue entry that the --quality value names, or -1.
int FindQuality(const QString& value) {
    const auto& catalogue = QualityCatalogue();
    bool isNumber = false;
    const int number = value.toInt(&isNumber);
    if (isNumber)
        return number >= 0 && number < QualityCatalogueSize ? number : -1;
    const qsizetype colon = value.indexOf(u':');
    if (colon < 0)
        return -1;
    const QString ext = value.left(colon);
    const QString height = value.mid(colon + 1);
    for (int i = 0; i < QualityCatalogueSize; ++i) {
        const TYoutubeQualityItem item = catalogue[i].Item();
        if (item.Ext.compare(ext, Qt::CaseInsensitive) == 0 &&
            item.Height.compare(height, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

// QDir::absolutePath() would read the current folder through Qt's lossy decoding.
QString AbsoluteFolder(const QString& path) {
    return QDir::cleanPath(path.startsWith(u'/') ? path : CurrentFolder() + u'/' + path);
}

// Writable by us, following symbolic links as opening a file in it does.
bool UsableFolder(const QString& folder) {
    const QByteArray path = EncodeFileName(folder);
    struct stat info {};
    return stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(path.constData(), W_OK) == 0;
}

// Shows one job's progress the way the window's status line does.
class TTerminalStatus {
public:
    explicit TTerminalStatus(bool live) : FLive(live) {}

    void Show(const QString& line) {
        if (FLive) {
            Print(stdout, QStringLiteral("\r\x1b[K") + line);
        } else if (line != FLastLine) {
            Print(stdout, line + u'\n');
        }
        FLastLine = line;
    }
    void Finish() {
        if (FLive && !FLastLine.isEmpty())
            Print(stdout, QStringLiteral("\n"));
        FLastLine.clear();
        RestoreErrors();
    }
    bool Live() const { return FLive; }

    // On a terminal, what goes to standard error (the extractor's warnings, say)
    // is passed on through a pipe, so that it stands on lines of its own above
    // the live line instead of being glued onto it.
    void CatchErrors() {
        int errors[2];
        if (!FLive || pipe2(errors, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        FTerminalErrors = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        dup2(errors[1], STDERR_FILENO);
        close(errors[1]);
        FErrors = errors[0];
        FNotifier = std::make_unique<QSocketNotifier>(FErrors, QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { PassOnErrors(); });
    }

private:
    void PassOnErrors() {
        char buffer[4096];
        for (;;) {
            const ssize_t count = read(FErrors, buffer, sizeof(buffer));
            if (count <= 0)
                return;
            QByteArray text = "\r\x1b[K" + QByteArray(buffer, count);
            if (!text.endsWith('\n'))
                text += '\n';
            [[maybe_unused]] const ssize_t written =
                write(FTerminalErrors, text.constData(), text.size());
            if (!FLastLine.isEmpty())
                Print(stdout, QStringLiteral("\r\x1b[K") + FLastLine);
        }
    }
    void RestoreErrors() {
        if (FErrors < 0)
            return;
        fflush(stderr);
        dup2(FTerminalErrors, STDERR_FILENO); // what is still in the pipe comes first
        PassOnErrors();
        FNotifier.reset();
        close(FErrors);
        close(FTerminalErrors);
        FErrors = FTerminalErrors = -1;
    }

    bool FLive;
    QString FLastLine;
    int FErrors = -1;
    int FTerminalErrors = -1;
    std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace

int main(int argc, char** argv) {
    RestoreChildSignal();
    QCoreApplication app(argc, argv);
    // From argv, not arguments(): Qt's decoding would change an output folder
    // named with bytes that are not UTF-8 into one that does not exist.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(DecodeFileName(QByteArray(argv[i])));

    if (args == QStringList{QStringLiteral("--list")}) {
        const auto& catalogue = QualityCatalogue();
        for (int i = 0; i < QualityCatalogueSize; ++i) {
            const TYoutubeQualityItem item = catalogue[i].Item();
            Print(stdout, QStringLiteral("%1  %2:%3  %4\n")
                              .arg(i, 2)
                              .arg(item.Ext, item.Height)
                              .arg(QualityLabel(catalogue[i])));
        }
        return 0;
    }
    if (args == QStringList{QStringLiteral("--help")} || args == QStringList{QStringLiteral("-h")})
        return Usage(stdout);
    if (args == QStringList{QStringLiteral("--engine")})
        return ShowEngine();
    if (args == QStringList{QStringLiteral("--update-engine")})
        return UpdateEngine();

    int quality = 0;
    int connections = 0; // the job's own choice
    QString output = CurrentFolder();
    QString url;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == u"--quality" && i + 1 < args.size()) {
            quality = FindQuality(args[++i]);
            if (quality < 0) {
                Print(
                    stderr,
                    QStringLiteral("kavro-cli: unknown quality \"%1\"; see --list\n").arg(args[i]));
                return 2;
            }
        } else if (arg == u"--connections" && i + 1 < args.size()) {
            bool number = false;
            connections = args[++i].toInt(&number);
            if (!number || connections < 1 || connections > MaxConnections) {
                Print(stderr, QStringLiteral("kavro-cli: --connections takes 1 to %1, not \"%2\"\n")
                                  .arg(MaxConnections)
                                  .arg(args[i]));
                return 2;
            }
        } else if (arg == u"--output" && i + 1 < args.size()) {
            output = AbsoluteFolder(args[++i]);
        } else if (arg.startsWith(u"--") || !url.isEmpty()) {
            return Usage(stderr);
        } else {
            url = arg;
        }
    }
    if (url.isEmpty())
        return Usage(stderr);
    // Found out before anything is resolved or fetched, not after.
    if (!UsableFolder(output)) {
        Print(stderr, QStringLiteral("kavro-cli: %1\n")
                          .arg(TranslateMessage(
                              KavroMessage(QStringLiteral("OutputFolderUnusable"), {output}))));
        return 1;
    }

    if (!LoadEngine()) {
        Print(stderr, QStringLiteral("kavro-cli: %1\n").arg(TranslateMessage(EngineLoadError())));
        return 1;
    }

    const TYoutubeQualityItem item = QualityCatalogue()[quality].Item();
    TDownloadThread job(url, QString(), output, item.Ext, item.Height, 0, 0, 0);
    if (connections > 0)
        job.Connections = connections;
    TTerminalStatus status(isatty(STDOUT_FILENO) == 1);
    status.CatchErrors();
    std::atomic<int32_t> position{0};
    std::atomic<int32_t> speed{0};
    std::atomic<bool> progressSeen{false};
    int32_t downloadIndex = 0, downloadCount = 0;
    QString currentName;
    QString errorMessage;
    bool finished = false;

    const auto finish = [&] {
        if (finished)
            return;
        finished = true;
        job.WaitFor();
        status.Finish();
        // The outcome decides, not the signal: a file completed before a stop
        // is a success.
        if (!errorMessage.isEmpty()) {
            Print(stderr, QStringLiteral("kavro-cli: %1\n").arg(TranslateMessage(errorMessage)));
            app.exit(1);
        } else if (job.Completed()) {
            Print(stdout, QStringLiteral("%1: %2\n")
                              .arg(GetLanguageString(QStringLiteral("Ready")), job.FileName()));
            app.exit(0);
        } else {
            Print(stderr, QStringLiteral("kavro-cli: %1\n")
                              .arg(GetLanguageString(QStringLiteral("DownloadStopped"))));
            app.exit(130);
        }
    };
    const auto postFinish = [&] {
        QMetaObject::invokeMethod(&app, finish, Qt::QueuedConnection);
    };

    job.SetOnGetDownloadURLEvent([&](TDownloadThread*) {
        status.Show(GetLanguageString(QStringLiteral("GetDownloadURL")));
    });
    job.SetOnDownloadThreadStartEvent(
        [&](TDownloadThread*, const QString& fileName, int32_t index, int32_t count) {
            downloadIndex = index;
            downloadCount = count;
            currentName = BareFileName(fileName);
            progressSeen.store(false);
            status.Show(StartStatusLine(index, count, currentName));
        });
    job.SetOnThreadData([&](THttpClient*, int32_t, int32_t aSpeed, int64_t contentLength,
                            int64_t readCount, bool&, void*) {
        position.store(ProgressPercent(contentLength, readCount), std::memory_order_relaxed);
        speed.store(aSpeed, std::memory_order_relaxed);
        progressSeen.store(true, std::memory_order_relaxed);
    });
    // Runs on the job's thread: keep the message and let the UI thread end the run.
    job.SetOnErrorEvent([&](TDownloadThread*, const QString& msg) {
        errorMessage = msg;
        postFinish();
    });
    job.SetOnDownloadThreadEndEvent([&](TDownloadThread*) { postFinish(); });

    QTimer statusTimer;
    statusTimer.setInterval(500);
    int32_t lastPlainDecile = -1;
    QObject::connect(&statusTimer, &QTimer::timeout, [&] {
        if (!progressSeen.load(std::memory_order_relaxed))
            return;
        const int32_t percent = position.load(std::memory_order_relaxed);
        // Plain output (a log, a pipe) gets a line per tenth, not one per tick.
        if (!status.Live()) {
            if (percent / 10 == lastPlainDecile)
                return;
            lastPlainDecile = percent / 10;
        }
        status.Show(QStringLiteral("[%1%] ").arg(percent, 3) +
                    SpeedStatusLine(GetLanguageString(QStringLiteral("Speed")),
                                    speed.load(std::memory_order_relaxed), downloadIndex,
                                    downloadCount, currentName));
    });

    // Ctrl-C stops the job as the Stop button does: terminate, then wait.
    if (!OnTerminationSignal(&app, [&] {
            job.Terminate();
            finish();
        }))
        return 1;

    job.Start();
    statusTimer.start();
    return app.exec();
}
