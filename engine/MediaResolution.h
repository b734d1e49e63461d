#pragma once

#include <QString>

inline constexpr char CanonicalWatchHost[] = "www.youtube.com";

// What one successful resolution yields. FileName is a bare name, without folder.
struct TResolvedMedia {
    QString VideoURL;
    QString AudioURL;
    QString FileName;
};

// The video identifier from the "v=" key of a page address; empty when there is none.
QString ExtractVideoID(const QString& url);
// The service's canonical watch-page address for an identifier.
QString CanonicalWatchURL(const QString& videoId);
// The height label used in file names for a height the engine printed.
QString NormalizeHeight(const QString& height);

// Asks the engine for the media address(es) and file name of the page for the
// given lower-case extension, height and mux flag. Empties the URLs on entry;
// the file name is written only on success. Returns false when the answer has
// none of the accepted shapes or names no usable file; throws EKavroError when
// the engine cannot run at all.
bool ResolveMedia(const QString& url, const QString& ext, const QString& height, bool needMux,
                  TResolvedMedia& media);
