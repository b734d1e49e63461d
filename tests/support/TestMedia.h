#pragma once

#include "Process.h"

#include <QString>
#include <QStringList>

#include <stdexcept>

// Tiny real media made by ffmpeg: a video-only MP4 and an audio-only m4a.
inline void MakeTestMedia(const QString& videoFile, const QString& audioFile) {
    const QStringList common{QStringLiteral("ffmpeg"), QStringLiteral("-loglevel"),
                             QStringLiteral("error"),  QStringLiteral("-y"),
                             QStringLiteral("-f"),     QStringLiteral("lavfi"),
                             QStringLiteral("-i")};
    const TCapturedRun video = SpawnAndCapture(
        common + QStringList{QStringLiteral("testsrc=size=64x48:rate=10"), QStringLiteral("-t"),
                             QStringLiteral("1"), QStringLiteral("-c:v"), QStringLiteral("mpeg4"),
                             videoFile},
        QString());
    const TCapturedRun audio = SpawnAndCapture(
        common + QStringList{QStringLiteral("sine=frequency=440"), QStringLiteral("-t"),
                             QStringLiteral("1"), QStringLiteral("-c:a"), QStringLiteral("aac"),
                             audioFile},
        QString());
    if (video.ExitCode != 0 || audio.ExitCode != 0)
        throw std::runtime_error("ffmpeg could not make test media: " +
                                 (video.Output + audio.Output).toStdString());
}

// The stream kinds in a media file, in order ("video,audio"), as ffprobe sees them.
inline QString StreamKinds(const QString& file) {
    const TCapturedRun probe =
        SpawnAndCapture({QStringLiteral("ffprobe"), QStringLiteral("-v"), QStringLiteral("error"),
                         QStringLiteral("-show_entries"), QStringLiteral("stream=codec_type"),
                         QStringLiteral("-of"), QStringLiteral("csv=p=0"), file},
                        QString());
    return QString::fromUtf8(probe.Output).trimmed().replace(u'\n', u',');
}
