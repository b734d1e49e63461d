#pragma once

#include "Process.h"

#include <QString>
#include <QStringList>

// The streams a merging job downloads before the merge, named after the file
// they become, so that jobs in one folder never share them.
inline QString MuxTempVideoFile(const QString& outputFile) {
    return outputFile + QStringLiteral(".video");
}
inline QString MuxTempAudioFile(const QString& outputFile) {
    return outputFile + QStringLiteral(".audio");
}

// A command line as one text: blank-separated, double quotes around arguments
// with blanks, a quote inside an argument escaped with a backslash.
QString QuoteArgument(const QString& argument);
QStringList SplitCommandLine(const QString& commandLine);

// Runs a command line in workingDir and returns everything the program wrote to
// standard output and standard error. exitCode receives the exit status, or -1
// when the program could not be started (the text is then empty).
// While it runs, the program's process id is in `running` (see StopChild).
QString RunAndCapture(const QString& commandLine, const QString& workingDir,
                      int* exitCode = nullptr, TChildControl* running = nullptr);

// The muxer: `ffmpeg` beside the executable, else on PATH; KAVRO_FFMPEG names another.
QString MuxerProgram();
QString MuxCommandLine(const QString& muxer, const QString& videoFile, const QString& audioFile,
                       const QString& outputFile);

// Copies the video and the audio stream into outputFile without re-encoding.
// The result appears under its final name only when the muxer succeeded; on
// failure an EKavroError says why and the input files are left alone; so it
// is when the muxer is stopped through `running`.
void MuxStreams(const QString& videoFile, const QString& audioFile, const QString& outputFile,
                TChildControl* running = nullptr);
