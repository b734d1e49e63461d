#include "QualityCatalogue.h"

namespace {

constexpr std::array<TQualityCatalogueEntry, QualityCatalogueSize> Catalogue{{
    {"Resolution", "<=UHD 8K - 4320p (MP4)", "mp4", "4320"},
    {"Resolution", "<=UHD 4K - 2160p (MP4)", "mp4", "2160"},
    {"Resolution", "<=Full HD - 1440p (MP4)", "mp4", "1440"},
    {"Resolution", "<=Full HD - 1080p (MP4)", "mp4", "1080"},
    {"Resolution", "<=HD - 720p (MP4)", "mp4", "720"},
    {"Resolution", "<=480p (MP4)", "mp4", "480"},
    {"Resolution", "<=360p (MP4)", "mp4", "360"},
    {"Resolution", "<=240p (MP4)", "mp4", "240"},
    {"Resolution", "<=144p (MP4)", "mp4", "144"},
    {"Resolution", "<=UHD 8K - 4320p (WebM)", "webm", "4320"},
    {"Resolution", "<=UHD 4K - 2160p (WebM)", "webm", "2160"},
    {"Resolution", "<=Full HD - 1440p (WebM)", "webm", "1440"},
    {"Resolution", "<=Full HD - 1080p (WebM)", "webm", "1080"},
    {"Resolution", "<=HD - 720p (WebM)", "webm", "720"},
    {"Resolution", "<=480p (WebM)", "webm", "480"},
    {"Resolution", "<=360p (WebM)", "webm", "360"},
    {"Resolution", "<=240p (WebM)", "webm", "240"},
    {"Resolution", "<=144p (WebM)", "webm", "144"},
    {"Resolution", "=240p (FLV)", "flv", "240"},
    {"Resolution", "<=240p (3GP)", "3gp", "240"},
    {"Resolution", "<=144p (3GP)", "3gp", "144"},
    {"Audio", " - (WebM)", "webm", ""},
    {"Audio", " - (m4a)", "m4a", ""},
}};

} // namespace

TYoutubeQualityItem TQualityCatalogueEntry::Item() const {
    return {QString::fromLatin1(Ext), QString::fromLatin1(Height)};
}

const std::array<TQualityCatalogueEntry, QualityCatalogueSize>& QualityCatalogue() {
    return Catalogue;
}

bool CheckNeedYoutubeMux(const QString& ext, const QString& height) {
    if (height.isEmpty())
        return false;
    if (ext.compare(u"mp4", Qt::CaseInsensitive) == 0)
        return height != u"360" && height != u"720";
    if (ext.compare(u"webm", Qt::CaseInsensitive) == 0)
        return true;
    // flv, 3gp and anything the catalogue never produces: one combined stream.
    return false;
}

namespace {

// The choice among formats fetched with one plain request, else the choice itself.
// yt-dlp names such formats' protocol "http" or "https" exactly; HLS ("m3u8") and
// segmented DASH ("http_dash_segments") would give the job a playlist, not media.
QString PreferDirect(const QString& choice) {
    return choice + QStringLiteral("[protocol~='^https?$']/") + choice;
}

} // namespace

QString FormatSelector(const QString& ext, const QString& height, bool needMux) {
    if (height.isEmpty())
        return PreferDirect(QStringLiteral("bestaudio[ext=") + ext + u']');
    if (!needMux)
        return PreferDirect(QStringLiteral("best[height<=?") + height + QStringLiteral("][ext=") +
                            ext + u']');
    QString audioExt;
    if (ext == u"mp4")
        audioExt = QStringLiteral("m4a");
    else if (ext == u"webm")
        audioExt = QStringLiteral("webm");
    else
        return {};
    // Each stream on its own: a direct video need not wait for a direct audio.
    const QString video =
        QStringLiteral("bestvideo[height<=?") + height + QStringLiteral("][ext=") + ext + u']';
    const QString audio = QStringLiteral("bestaudio[ext=") + audioExt + u']';
    return u'(' + PreferDirect(video) + QStringLiteral(")+(") + PreferDirect(audio) + u')';
}

QString OutputTemplate(const QString& height) {
    if (height.isEmpty())
        return QStringLiteral("%(title)s_%(id)s.%(ext)s");
    // The two line breaks make the engine print the height on a line of its own,
    // so that it can be normalised before the name is joined again.
    return QStringLiteral("%(title)s_(\r\n%(height)s\r\np)_%(id)s.%(ext)s");
}
