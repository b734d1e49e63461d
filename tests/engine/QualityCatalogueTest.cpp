#include "QualityCatalogue.h"

#include <QStringList>

#include "KavroTest.h"

#include <set>

namespace {

struct ExpectedEntry {
    const char* PrefixKey;
    const char* Literal;
    const char* Ext;
    const char* Height;
    bool Mux;
    const char* Selector;
};

const ExpectedEntry Expected[] = {
    {"Resolution", "<=UHD 8K - 4320p (MP4)", "mp4", "4320", true,
     "(bestvideo[height<=?4320][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?4320][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=UHD 4K - 2160p (MP4)", "mp4", "2160", true,
     "(bestvideo[height<=?2160][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?2160][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=Full HD - 1440p (MP4)", "mp4", "1440", true,
     "(bestvideo[height<=?1440][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?1440][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=Full HD - 1080p (MP4)", "mp4", "1080", true,
     "(bestvideo[height<=?1080][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?1080][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=HD - 720p (MP4)", "mp4", "720", false,
     "best[height<=?720][ext=mp4][protocol~='^https?$']/best[height<=?720][ext=mp4]"},
    {"Resolution", "<=480p (MP4)", "mp4", "480", true,
     "(bestvideo[height<=?480][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?480][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=360p (MP4)", "mp4", "360", false,
     "best[height<=?360][ext=mp4][protocol~='^https?$']/best[height<=?360][ext=mp4]"},
    {"Resolution", "<=240p (MP4)", "mp4", "240", true,
     "(bestvideo[height<=?240][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?240][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=144p (MP4)", "mp4", "144", true,
     "(bestvideo[height<=?144][ext=mp4][protocol~='^https?$']/"
     "bestvideo[height<=?144][ext=mp4])+(bestaudio[ext=m4a][protocol~='^https?$']/"
     "bestaudio[ext=m4a])"},
    {"Resolution", "<=UHD 8K - 4320p (WebM)", "webm", "4320", true,
     "(bestvideo[height<=?4320][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?4320][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=UHD 4K - 2160p (WebM)", "webm", "2160", true,
     "(bestvideo[height<=?2160][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?2160][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=Full HD - 1440p (WebM)", "webm", "1440", true,
     "(bestvideo[height<=?1440][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?1440][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=Full HD - 1080p (WebM)", "webm", "1080", true,
     "(bestvideo[height<=?1080][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?1080][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=HD - 720p (WebM)", "webm", "720", true,
     "(bestvideo[height<=?720][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?720][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=480p (WebM)", "webm", "480", true,
     "(bestvideo[height<=?480][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?480][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=360p (WebM)", "webm", "360", true,
     "(bestvideo[height<=?360][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?360][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=240p (WebM)", "webm", "240", true,
     "(bestvideo[height<=?240][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?240][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "<=144p (WebM)", "webm", "144", true,
     "(bestvideo[height<=?144][ext=webm][protocol~='^https?$']/"
     "bestvideo[height<=?144][ext=webm])+(bestaudio[ext=webm][protocol~='^https?$']/"
     "bestaudio[ext=webm])"},
    {"Resolution", "=240p (FLV)", "flv", "240", false,
     "best[height<=?240][ext=flv][protocol~='^https?$']/best[height<=?240][ext=flv]"},
    {"Resolution", "<=240p (3GP)", "3gp", "240", false,
     "best[height<=?240][ext=3gp][protocol~='^https?$']/best[height<=?240][ext=3gp]"},
    {"Resolution", "<=144p (3GP)", "3gp", "144", false,
     "best[height<=?144][ext=3gp][protocol~='^https?$']/best[height<=?144][ext=3gp]"},
    {"Audio", " - (WebM)", "webm", "", false,
     "bestaudio[ext=webm][protocol~='^https?$']/bestaudio[ext=webm]"},
    {"Audio", " - (m4a)", "m4a", "", false,
     "bestaudio[ext=m4a][protocol~='^https?$']/bestaudio[ext=m4a]"},
};

const QString HeightTemplate = QStringLiteral("%(title)s_(\r\n%(height)s\r\np)_%(id)s.%(ext)s");
const QString AudioTemplate = QStringLiteral("%(title)s_%(id)s.%(ext)s");

} // namespace

TEST(QualityCatalogue, EntriesInOrderWithTheirMuxRuleSelectorAndTemplate) {
    const auto& catalogue = QualityCatalogue();
    ASSERT_EQ(std::size(Expected), catalogue.size());
    std::set<std::pair<QString, QString>> pairs;
    for (size_t i = 0; i < catalogue.size(); ++i) {
        const ExpectedEntry& want = Expected[i];
        const TYoutubeQualityItem item = catalogue[i].Item();
        SCOPED_TRACE(testing::Message() << "entry " << i << ' ' << want.Literal);
        EXPECT_STREQ(want.PrefixKey, catalogue[i].PrefixKey);
        EXPECT_STREQ(want.Literal, catalogue[i].Literal);
        EXPECT_EQ(QString::fromLatin1(want.Ext), item.Ext);
        EXPECT_EQ(QString::fromLatin1(want.Height), item.Height);
        EXPECT_EQ(want.Mux, CheckNeedYoutubeMux(item.Ext, item.Height));
        EXPECT_EQ(QString::fromLatin1(want.Selector),
                  FormatSelector(item.Ext, item.Height, want.Mux));
        EXPECT_EQ(item.Height.isEmpty() ? AudioTemplate : HeightTemplate,
                  OutputTemplate(item.Height));
        EXPECT_TRUE(pairs.emplace(item.Ext, item.Height).second) << "pair repeated";
    }
}

TEST(QualityCatalogue, HeightTemplateBreaksTheHeightOntoALineOfItsOwn) {
    const QString text = OutputTemplate(QStringLiteral("1080"));
    EXPECT_EQ(42, text.toUtf8().size());
    EXPECT_EQ(QStringList({QStringLiteral("%(title)s_("), QStringLiteral("%(height)s"),
                           QStringLiteral("p)_%(id)s.%(ext)s")}),
              text.split(QStringLiteral("\r\n")));
}

TEST(QualityCatalogue, MuxRuleIgnoresTheExtensionsLetterCase) {
    struct Case {
        const char* Ext;
        const char* Height;
        bool Mux;
    } const cases[] = {
        {"MP4", "720", false}, {"Mp4", "360", false}, {"MP4", "1080", true}, {"WEBM", "720", true},
        {"FLV", "240", false}, {"3GP", "144", false}, {"WEBM", "", false},   {"M4A", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Ext << ' ' << c.Height);
        EXPECT_EQ(c.Mux,
                  CheckNeedYoutubeMux(QString::fromLatin1(c.Ext), QString::fromLatin1(c.Height)));
    }
}
