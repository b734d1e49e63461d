#include "DownloadStatus.h"
#include "KavroTest.h"

#include <climits>

TEST(DownloadStatus, PercentStaysWithinTheBarWhateverTheServerSays) {
    struct Case {
        const char* Name;
        int64_t Length;
        int64_t Read;
        int32_t Percent;
    } const cases[] = {
        {"start", 1000, 0, 0},
        {"12.5 rounds to the even 12", 8, 1, 12},
        {"37.5 rounds to the even 38", 8, 3, 38},
        {"done", 1000, 1000, 100},
        {"unknown length", -1, 5000, 0},
        {"zero length", 0, 0, 0},
        {"more than announced", 1000, 5000, 100},
        {"huge file", INT64_MAX / 2, INT64_MAX / 4, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Percent, ProgressPercent(c.Length, c.Read));
    }
}

TEST(DownloadStatus, SpeedAndStatusLinesReadAsTheWindowShowsThem) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QLocale german(QLocale::German, QLocale::Germany);
    struct Case {
        int32_t Speed;
        const QLocale* Locale;
        const char* Text;
    } const cases[] = {
        {0, &english, "0.0 KB/s"},         {1048575, &english, "1024.0 KB/s"},
        {1048576, &english, "1.0 MB/s"},   {1572864, &german, "1,5 MB/s"},
        {1048575, &german, "1024,0 KB/s"}, {-2048, &english, "-2.0 KB/s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(QString::fromLatin1(c.Text), FormatSpeed(c.Speed, *c.Locale));
    }

    EXPECT_EQ(QStringLiteral("Clip.mp4"), StartStatusLine(1, 1, QStringLiteral("Clip.mp4")));
    EXPECT_EQ(QStringLiteral("(2/2) Clip.mp4"), StartStatusLine(2, 2, QStringLiteral("Clip.mp4")));
    EXPECT_EQ(QStringLiteral("Speed: 1.0 MB/s,Clip.mp4"),
              SpeedStatusLine(QStringLiteral("Speed"), 1048576, 1, 1, QStringLiteral("Clip.mp4"),
                              english));
    EXPECT_EQ(
        QStringLiteral("(1/2) Tempo: 0,0 KB/s,Clip.mp4"),
        SpeedStatusLine(QStringLiteral("Tempo"), 0, 1, 2, QStringLiteral("Clip.mp4"), german));
    EXPECT_EQ(QStringLiteral("Clip.mp4"), BareFileName(QStringLiteral("/out/dir/Clip.mp4")));
}
