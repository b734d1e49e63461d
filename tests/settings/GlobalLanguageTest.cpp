#include "GlobalLanguage.h"
#include "KavroError.h"
#include "SettingsFixture.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

using GlobalLanguageTest = SettingsTest;

TEST_F(GlobalLanguageTest, TheStoredIdentifierChoosesTheFile) {
    for (const char* name : {"English.ini", "German.ini", "French.ini", "georgian.ini"})
        WriteLanguage(QString::fromLatin1(name), "[LanguageString]\n");
    struct Case {
        const char* LangID;
        int Id;
        const char* File;
    } const cases[] = {
        {"3079", 3079, "German.ini"},
        {"1031", 1033, "English.ini"}, // only the Austrian identifier is German
        {"1036", 1033, "English.ini"}, // French is 2060
        {"2060", 2060, "French.ini"},
        {"1079", 1079, "georgian.ini"},
        {"1041", 1041, "English.ini"}, // Japanese.ini is missing
        {"0x0C07", 3079, "German.ini"},
        {"12345", 1033, "English.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.LangID);
        ResetLanguageCache();
        WriteConfig(QByteArray("[GlobalLanguage]\nLangID=") + c.LangID + '\n');
        EXPECT_EQ(c.Id, GetLanguageID());
        EXPECT_EQ(LanguageDir() + u'/' + QString::fromLatin1(c.File), GetLanguageFilePath(c.Id));
    }
}

TEST_F(GlobalLanguageTest, TheLanguageIsDeterminedOnceAndKept) {
    WriteConfig("[GlobalLanguage]\nLangID=3079\n");
    EXPECT_EQ(-1, LanguageCache());
    EXPECT_EQ(3079, GetLanguageID());
    EXPECT_EQ(3079, LanguageCache());
    WriteConfig("[GlobalLanguage]\nLangID=2060\n");
    EXPECT_EQ(3079, GetLanguageID()) << "a changed LangID takes effect at the next start";
    ResetLanguageCache();
    EXPECT_EQ(2060, GetLanguageID());
}

TEST_F(GlobalLanguageTest, LookupsTurnEscapesIntoCharactersAndFallBackToTheKey) {
    WriteLanguage(QStringLiteral("English.ini"), "[LanguageString]\n"
                                                 "Lines=one#13#10two\n"
                                                 "Wide=one\xEF\xBC\x83"
                                                 "13\xEF\xBC\x83"
                                                 "10two\n"
                                                 "Lead=#32lead\n"
                                                 "Backwards=a#10#13b\n"
                                                 "Prefix=Resolution#32\n"
                                                 "Plain=  trimmed  \n"
                                                 "[frmMain]\n"
                                                 "Missing=elsewhere\n");
    struct Case {
        const char* Key;
        QString Expected;
    } const cases[] = {
        {"Lines", QStringLiteral("one\r\ntwo")},
        {"Wide", QStringLiteral("one\r\ntwo")},
        {"Lead", QStringLiteral(" lead")},
        {"Backwards", QStringLiteral("a\n\rb")},
        {"prefix", QStringLiteral("Resolution ")},
        {"Plain", QStringLiteral("trimmed")},
        {"Missing", QStringLiteral("Missing")},
        {"A plain message text.", QStringLiteral("A plain message text.")},
        {"", QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Key);
        EXPECT_EQ(c.Expected, GetLanguageString(QString::fromLatin1(c.Key)));
    }
    QFile::remove(LanguageDir() + QStringLiteral("/English.ini"));
    EXPECT_EQ(QStringLiteral("Lines"), GetLanguageString(QStringLiteral("Lines")))
        << "without any language file every key stands for itself";
}

TEST_F(GlobalLanguageTest, MessagesFillTheirValuesAfterTheLookup) {
    WriteLanguage(QStringLiteral("German.ini"),
                  "[LanguageString]\n"
                  "HttpStatusError=Der Server antwortete mit HTTP-Status %1.\n"
                  "Swapped=%2 vor %1, 100%\n"
                  "InvalidYoutubeURL=Keine Video-Adresse.\n");
    WriteConfig("[GlobalLanguage]\nLangID=3079\n");
    struct Case {
        const char* Name;
        QString Message;
        QString Expected;
    } const cases[] = {
        {"value filled in",
         KavroMessage(QStringLiteral("HttpStatusError"), {QStringLiteral("404")}),
         QStringLiteral("Der Server antwortete mit HTTP-Status 404.")},
        {"order of the translation, values not expanded again",
         KavroMessage(QStringLiteral("Swapped"), {QStringLiteral("%2"), QStringLiteral("B")}),
         QStringLiteral("B vor %2, 100%")},
        {"key without values", QStringLiteral("InvalidYoutubeURL"),
         QStringLiteral("Keine Video-Adresse.")},
        {"unknown key keeps its values",
         KavroMessage(QStringLiteral("NoSuchKey"), {QStringLiteral("a"), QStringLiteral("b")}),
         QStringLiteral("NoSuchKey: a, b")},
        {"plain text", QStringLiteral("Something else."), QStringLiteral("Something else.")},
        {"with its cause",
         KavroMessage(QStringLiteral("InvalidYoutubeURL")) + MessageCauseSeparator +
             KavroMessage(QStringLiteral("HttpStatusError"), {QStringLiteral("500")}),
         QStringLiteral("Keine Video-Adresse. Der Server antwortete mit HTTP-Status 500.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Expected, TranslateMessage(c.Message));
    }
}

// The shipped language files, read as the program reads them.
class ShippedLanguageFiles : public testing::Test {
protected:
    void SetUp() override {
        qputenv("KAVRO_LANGUAGE_DIR", KAVRO_SOURCE_LANGUAGE_DIR);
        ResetLanguageCache();
    }
    void TearDown() override {
        qunsetenv("KAVRO_LANGUAGE_DIR");
        ResetLanguageCache();
    }

    // Section -> key -> value, in the file's order; fails the test on any line
    // that is neither blank, a section nor a key.
    static QMap<QString, QMap<QString, QString>> Parse(const QString& path) {
        QMap<QString, QMap<QString, QString>> sections;
        QString section;
        const QList<QByteArray> lines = ReadTestFile(path).split('\n');
        for (const QByteArray& line : lines) {
            if (line.trimmed().isEmpty())
                continue;
            if (line.startsWith('[') && line.endsWith(']')) {
                section = QString::fromUtf8(line.mid(1, line.size() - 2));
                continue;
            }
            const qsizetype equals = line.indexOf('=');
            EXPECT_GT(equals, 0) << path.toStdString() << ": " << line.toStdString();
            EXPECT_FALSE(section.isEmpty()) << path.toStdString();
            sections[section][QString::fromUtf8(line.left(equals))] =
                QString::fromUtf8(line.mid(equals + 1));
        }
        return sections;
    }
};

TEST_F(ShippedLanguageFiles, EveryLanguageHasAFileWithEveryKeyTranslated) {
    const QString folder = QStringLiteral(KAVRO_SOURCE_LANGUAGE_DIR) + u'/';
    const auto english = Parse(folder + QStringLiteral("English.ini"));
    ASSERT_TRUE(english.contains(QStringLiteral("LanguageString")));
    ASSERT_TRUE(english.contains(QStringLiteral("frmMain")));
    const QByteArray englishBytes = ReadTestFile(folder + QStringLiteral("English.ini"));
    const QRegularExpression placeholder(QStringLiteral("%[1-9]"));

    const int ids[] = {1026, 1027, 1028, 1029, 1030, 1032, 1035, 1038, 1040,
                       1041, 1042, 1044, 1045, 1046, 1048, 1049, 1050, 1051,
                       1060, 1079, 2052, 2060, 2067, 2115, 3079, 11274};
    QStringList seen{QStringLiteral("English.ini")};
    for (const int id : ids) {
        const QString path = GetLanguageFilePath(id);
        SCOPED_TRACE(path.toStdString());
        ASSERT_NE(folder + QStringLiteral("English.ini"), path) << id << " has no file of its own";
        seen.append(QFileInfo(path).fileName());
        const QByteArray bytes = ReadTestFile(path);
        EXPECT_NE(englishBytes, bytes);
        EXPECT_FALSE(bytes.startsWith("\xEF\xBB\xBF"));
        EXPECT_TRUE(QString::fromUtf8(bytes).toUtf8() == bytes) << "not valid UTF-8";

        const auto translated = Parse(path);
        int sameAsEnglish = 0, total = 0;
        for (auto section = english.begin(); section != english.end(); ++section) {
            for (auto entry = section->begin(); entry != section->end(); ++entry) {
                SCOPED_TRACE(section.key().toStdString() + "/" + entry.key().toStdString());
                ASSERT_TRUE(translated.value(section.key()).contains(entry.key()));
                const QString value = translated[section.key()][entry.key()];
                ++total;
                sameAsEnglish += value == entry.value();
                // Every value placeholder, escape and accelerator survives.
                for (const QString& token : {QStringLiteral("%1"), QStringLiteral("%2"),
                                             QStringLiteral("#13#10"), QStringLiteral("#32")})
                    EXPECT_EQ(entry.value().count(token), value.count(token))
                        << token.toStdString();
                EXPECT_EQ(entry.value().contains(u'&'), value.contains(u'&'));
                EXPECT_EQ(entry.value().isEmpty(), value.isEmpty());
                const bool quoted = value.size() >= 2 &&
                                    (value.front() == u'"' || value.front() == u'\'') &&
                                    value.back() == value.front();
                EXPECT_FALSE(quoted) << "the reader would drop the quotes";
            }
        }
        EXPECT_LT(sameAsEnglish * 4, total) << "mostly English, not a translation";
    }
    seen.sort();
    EXPECT_EQ(27, seen.size());
    EXPECT_EQ(27, seen.removeDuplicates() + seen.size());
    EXPECT_TRUE(seen.contains(QStringLiteral("georgian.ini")));
}

} // namespace
