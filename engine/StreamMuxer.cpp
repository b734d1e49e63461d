#include "StreamMuxer.h"

#include "FileNameBytes.h"
#include "KavroError.h"
#include "Process.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

QString QuoteArgument(const QString& argument) {
    // Backslashes only need doubling where they come before a quote, as in the
    // usual quoting of Windows command lines; everything else stands as it is.
    QString quoted = QStringLiteral("\"");
    qsizetype backslashes = 0;
    for (const QChar c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"')
            quoted += QString(backslashes * 2 + 1, u'\\');
        else
            quoted += QString(backslashes, u'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted += QString(backslashes * 2, u'\\');
    quoted += u'"';
    return quoted;
}

QStringList SplitCommandLine(const QString& commandLine) {
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        const QChar c = commandLine[i];
        if (c == u'\\') {
            qsizetype count = 0;
            while (i < commandLine.size() && commandLine[i] == u'\\') {
                ++count;
                ++i;
            }
            if (i < commandLine.size() && commandLine[i] == u'"') {
                current += QString(count / 2, u'\\');
                if (count % 2 == 1)
                    current += u'"';
                else
                    quoted = !quoted;
            } else {
                current += QString(count, u'\\');
                --i;
            }
            inArgument = true;
        } else if (c == u'"') {
            quoted = !quoted;
            inArgument = true;
        } else if ((c == u' ' || c == u'\t') && !quoted) {
            if (inArgument)
                arguments.append(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.append(current);
    return arguments;
}

QString RunAndCapture(const QString& commandLine, const QString& workingDir, int* exitCode,
                      TChildControl* running) {
    const TCapturedRun run = SpawnAndCapture(SplitCommandLine(commandLine), workingDir, running);
    if (exitCode)
        *exitCode = run.Started ? run.ExitCode : -1;
    // Decoded as a whole, so a character split between two reads arrives intact.
    return QString::fromUtf8(run.Output);
}

QString MuxerProgram() {
    const QString named = qEnvironmentVariable("KAVRO_FFMPEG");
    if (!named.isEmpty())
        return named;
    const QString found = FindProgram(QStringLiteral("ffmpeg"));
    return found.isEmpty() ? ExecutableFolder() + QStringLiteral("ffmpeg") : found;
}

QString MuxCommandLine(const QString& muxer, const QString& videoFile, const QString& audioFile,
                       const QString& outputFile) {
    // -xerror: ffmpeg 5.1 exits 0 after "Error writing trailer" (a full disk)
    // unless write errors are fatal, and the broken file would pass as merged.
    return QuoteArgument(muxer) + QStringLiteral(" -i ") + QuoteArgument(videoFile) +
           QStringLiteral(" -i ") + QuoteArgument(audioFile) +
           QStringLiteral(" -codec copy -xerror ") + QuoteArgument(outputFile) +
           QStringLiteral(" -y");
}

namespace {

// Beside the final file, keeping its extension so the muxer still knows the
// container. Cut as text: QFileInfo would change bytes that are not UTF-8.
QString PartialOutputName(const QString& outputFile) {
    const qsizetype dot = outputFile.lastIndexOf(u'.');
    if (dot <= outputFile.lastIndexOf(u'/'))
        return outputFile + QStringLiteral(".part");
    const QString suffix = outputFile.mid(dot + 1);
    return outputFile.left(dot) + QStringLiteral(".part") +
           (suffix.isEmpty() ? QString() : u'.' + suffix);
}

QString LastLine(const QString& text) {
    const QStringList lines = text.trimmed().split(u'\n');
    return lines.isEmpty() ? QString() : lines.last().trimmed();
}

} // namespace

void MuxStreams(const QString& videoFile, const QString& audioFile, const QString& outputFile,
                TChildControl* running) {
    const QString muxer = MuxerProgram();
    const QString partial = PartialOutputName(outputFile);
    int exitCode = -1;
    const QString output = RunAndCapture(MuxCommandLine(muxer, videoFile, audioFile, partial),
                                         QStringLiteral("/"), &exitCode, running);
    if (exitCode == -1)
        throw EKavroError(QStringLiteral("MuxerStartFailed"), {muxer});
    const QByteArray partialPath = EncodeFileName(partial);
    if (exitCode != 0) {
        unlink(partialPath.constData());
        const QString reason = LastLine(output);
        // A muxer that says nothing still has its exit code told, not an empty reason.
        if (reason.isEmpty())
            throw EKavroError(QStringLiteral("MuxFailedSilently"), {QString::number(exitCode)});
        throw EKavroError(QStringLiteral("MuxFailed"), {QString::number(exitCode), reason});
    }
    struct stat info {};
    if (stat(partialPath.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        throw EKavroError(QStringLiteral("MuxNoOutput"));
    if (std::rename(partialPath.constData(), EncodeFileName(outputFile).constData()) != 0)
        throw EKavroError(QStringLiteral("CannotCreateFile"),
                          {outputFile, QString::fromLocal8Bit(strerror(errno))});
}
