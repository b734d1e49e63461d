#pragma once

#include "TestFiles.h"
#include "TestServer.h"

#include <QTemporaryDir>

#include <memory>

// Pattern media ("v.bin", "a.bin") served on 127.0.0.1 from a folder of their
// own, and a stand-in ffmpeg that writes its two inputs one after the other,
// named by KAVRO_FFMPEG while this object lives.
class TMediaSite {
public:
    static constexpr qsizetype VideoSize = 4 * 1024 * 1024;
    static constexpr qsizetype AudioSize = 1024 * 1024 + 3;

    TMediaSite() {
        WriteTestFile(Path("v.bin"), PatternBytes(VideoSize));
        WriteTestFile(Path("a.bin"), PatternBytes(AudioSize));
        Server = std::make_unique<TestServer>(Dir.path());
        const QString muxer = Path("fake-ffmpeg");
        WriteTestFile(muxer, "#!/bin/sh\ncat \"$2\" \"$4\" > \"$8\"\n", true);
        qputenv("KAVRO_FFMPEG", muxer.toUtf8());
    }
    ~TMediaSite() { qunsetenv("KAVRO_FFMPEG"); }

    QString Path(const char* name) const { return Dir.filePath(QString::fromLatin1(name)); }
    // An address on the server, as the engine prints it.
    QByteArray Line(const char* path) const {
        return Server->Url(QString::fromLatin1(path)).toUtf8();
    }

    QTemporaryDir Dir;
    std::unique_ptr<TestServer> Server;
};
