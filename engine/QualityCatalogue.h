#pragma once

#include <QString>

#include <array>

// One selectable quality: a container extension and a maximum frame height
// (empty for audio only). The pair identifies the entry.
struct TYoutubeQualityItem {
    QString Ext;
    QString Height;

    friend bool operator==(const TYoutubeQualityItem&, const TYoutubeQualityItem&) = default;
};

// A catalogue entry as the window shows it: the language key whose translation
// comes first, then a literal appended without a separator.
struct TQualityCatalogueEntry {
    const char* PrefixKey;
    const char* Literal;
    const char* Ext;
    const char* Height;

    TYoutubeQualityItem Item() const;
};

inline constexpr int QualityCatalogueSize = 23;
const std::array<TQualityCatalogueEntry, QualityCatalogueSize>& QualityCatalogue();

// True when the entry comes as separate video and audio streams that must be merged.
bool CheckNeedYoutubeMux(const QString& ext, const QString& height);

// The extraction engine's format selector and output-name template for a job's
// lower-case extension, height and mux flag. At every quality the selector takes
// a stream fetched directly over HTTP(S) when the page has one.
QString FormatSelector(const QString& ext, const QString& height, bool needMux);
QString OutputTemplate(const QString& height);
