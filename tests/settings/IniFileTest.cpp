#include "IniFile.h"
#include "KavroError.h"
#include "KavroTest.h"
#include "TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <climits>
#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class IniFileTest : public testing::Test {
protected:
    QString Path() const { return Dir.filePath(QStringLiteral("Config.ini")); }
    TIniFile Ini() const { return TIniFile(Path()); }
    QStringList FolderEntries() const {
        return QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir Dir;
};

QByteArray Utf16File(const QString& text) {
    QStringEncoder encoder(QStringEncoder::Utf16LE);
    return "\xFF\xFE" + QByteArray(encoder(text));
}

TEST_F(IniFileTest, ReadsValuesByTheProfileRules) {
    const QString longValue(3000, u'x');
    struct Case {
        const char* Name;
        QByteArray Content;
        const char* Section;
        const char* Key;
        QString Expected; // the default is "<default>"
    } const cases[] = {
        {"names ignore case", "[Main]\nName=Value\n", "MAIN", "name", QStringLiteral("Value")},
        {"blanks around names and value", "  [ Main ]  \n  Name  =  two words  \n", "Main", "Name",
         QStringLiteral("two words")},
        {"one pair of double quotes", "[Main]\nName=\" quoted \"\n", "Main", "Name",
         QStringLiteral(" quoted ")},
        {"one pair of single quotes", "[Main]\nName='single'\n", "Main", "Name",
         QStringLiteral("single")},
        {"only one pair dropped", "[Main]\nName=\"\"double\"\"\n", "Main", "Name",
         QStringLiteral("\"double\"")},
        {"unmatched quote stays", "[Main]\nName=\"open\n", "Main", "Name",
         QStringLiteral("\"open")},
        {"mixed quotes stay", "[Main]\nName=\"mixed'\n", "Main", "Name",
         QStringLiteral("\"mixed'")},
        {"equals sign inside the value", "[Main]\nName=a=b\n", "Main", "Name",
         QStringLiteral("a=b")},
        {"empty value is not the default", "[Main]\nName=\n", "Main", "Name", QString()},
        {"CR LF line ends", "[Main]\r\nName=crlf\r\n", "Main", "Name", QStringLiteral("crlf")},
        {"no final line break", "[Main]\nName=last", "Main", "Name", QStringLiteral("last")},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF[Main]\nName=\xC3\xBC\n", "Main", "Name",
         QStringLiteral("\u00FC")},
        {"UTF-16LE with byte-order mark",
         Utf16File(QStringLiteral("[Main]\r\nName=\u65E5\u672C \u00FC\r\n")), "Main", "Name",
         QStringLiteral("\u65E5\u672C \u00FC")},
        {"first of two keys", "[Main]\nName=first\nNAME=second\n", "Main", "Name",
         QStringLiteral("first")},
        {"first of two sections", "[Main]\nName=first\n[main]\nName=second\n", "Main", "Name",
         QStringLiteral("first")},
        {"line without equals sign skipped", "[Main]\nName\nName=x\n", "Main", "Name",
         QStringLiteral("x")},
        {"value capped at 2047 characters", "[Main]\nName=" + longValue.toUtf8() + '\n', "Main",
         "Name", longValue.left(2047)},
        {"key before any section", "Name=orphan\n[Main]\n", "Main", "Name",
         QStringLiteral("<default>")},
        {"key of another section", "[Other]\nName=x\n[Main]\nKey=y\n", "Main", "Name",
         QStringLiteral("<default>")},
        {"missing section", "[Other]\nName=x\n", "Main", "Name", QStringLiteral("<default>")},
        {"empty file", "", "Main", "Name", QStringLiteral("<default>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteTestFile(Path(), c.Content);
        EXPECT_EQ(c.Expected,
                  Ini().ReadString(QString::fromLatin1(c.Section), QString::fromLatin1(c.Key),
                                   QStringLiteral("<default>")));
    }
    QFile::remove(Path());
    EXPECT_EQ(QStringLiteral("<default>"),
              Ini().ReadString(QStringLiteral("Main"), QStringLiteral("Name"),
                               QStringLiteral("<default>")))
        << "a missing file gives the default";
}

TEST_F(IniFileTest, ReadsIntegersAndBooleans) {
    struct Case {
        const char* Text;
        int Integer; // with the default 99
        bool Bool;   // with the default true
    } const cases[] = {
        {"10", 10, true},         {"-5", -5, true},
        {"+7", 7, true},          {"0", 0, false},
        {"0x10", 16, true},       {"0X1f", 31, true},
        {"0x1", 1, true},         {"$10", 16, true},
        {"$FFFFFFFF", -1, true},  {"-2147483648", INT_MIN, true},
        {"2147483648", 99, true}, {"0x", 99, true},
        {"$", 99, true},          {"yes", 99, true},
        {"12abc", 99, true},      {"", 99, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        WriteTestFile(Path(), QByteArray("[S]\nK=") + c.Text + '\n');
        EXPECT_EQ(c.Integer, Ini().ReadInteger(QStringLiteral("s"), QStringLiteral("k"), 99));
        EXPECT_EQ(c.Bool, Ini().ReadBool(QStringLiteral("s"), QStringLiteral("k"), true));
    }
}

TEST_F(IniFileTest, WritesCreateAndReplaceWithoutDisturbingOtherLines) {
    struct Case {
        const char* Name;
        QByteArray Before; // empty: no file
        const char* Section;
        const char* Key;
        const char* Value;
        QByteArray After;
    } const cases[] = {
        {"new file", "", "Main", "Left", "10", "[Main]\nLeft=10\n"},
        {"new section after a blank line", "[A]\nx=1\n", "B", "y", "2", "[A]\nx=1\n\n[B]\ny=2\n"},
        {"new key after the section's last line", "[A]\nx=1\n\n[B]\ny=2\n", "a", "z", "3",
         "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
        {"value replaced in place, name kept", "[A]\r\nKEY = old\r\nraw=\xFF\xFE\r\n", "a", "key",
         "new", "[A]\r\nKEY=new\r\nraw=\xFF\xFE\r\n"},
        {"line breaks in a value stay on one line", "", "A", "k", "one\ntwo\r\n[B]",
         "[A]\nk=one two  [B]\n"},
        {"UTF-8 byte-order mark kept", "\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "2",
         "\xEF\xBB\xBF[A]\nk=2\n"},
        {"UTF-16LE stays UTF-16LE", Utf16File(QStringLiteral("[A]\r\nk=\u00FC\r\n")), "A", "k",
         "\xC3\xA4", Utf16File(QStringLiteral("[A]\r\nk=\u00E4\r\n"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QFile::remove(Path());
        if (!c.Before.isEmpty())
            WriteTestFile(Path(), c.Before);
        Ini().WriteString(QString::fromLatin1(c.Section), QString::fromLatin1(c.Key),
                          QString::fromUtf8(c.Value));
        EXPECT_EQ(c.After, ReadTestFile(Path()));
    }
    EXPECT_EQ(QStringList{QStringLiteral("Config.ini")}, FolderEntries())
        << "no temporary file stays behind";
}

TEST_F(IniFileTest, TypedWritesReadBack) {
    Ini().WriteInteger(QStringLiteral("S"), QStringLiteral("Int"), -42);
    Ini().WriteBool(QStringLiteral("S"), QStringLiteral("On"), true);
    Ini().WriteBool(QStringLiteral("S"), QStringLiteral("Off"), false);
    EXPECT_EQ(QByteArray("[S]\nInt=-42\nOn=1\nOff=0\n"), ReadTestFile(Path()));
    EXPECT_TRUE(Ini().ValueExists(QStringLiteral("s"), QStringLiteral("INT")));
    EXPECT_FALSE(Ini().ValueExists(QStringLiteral("S"), QStringLiteral("Missing")));
    EXPECT_FALSE(Ini().ValueExists(QStringLiteral("Other"), QStringLiteral("Int")));
}

TEST_F(IniFileTest, AWriteReplacesTheFileAsAWholeAndKeepsItsLinkAndMode) {
    const QString target = Dir.filePath(QStringLiteral("real.ini"));
    WriteTestFile(target, "[A]\nk=1\n");
    ASSERT_EQ(0, chmod(QFile::encodeName(target).constData(), 0640));
    ASSERT_TRUE(QFile::link(target, Path()));

    Ini().WriteString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"));
    EXPECT_TRUE(QFileInfo(Path()).isSymLink()) << "the link itself stays";
    EXPECT_EQ(QByteArray("[A]\nk=2\n"), ReadTestFile(target));
    struct stat info {};
    ASSERT_EQ(0, stat(QFile::encodeName(target).constData(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);

    // Writing the value the file already holds leaves the file alone.
    const ino_t before = info.st_ino;
    Ini().WriteString(QStringLiteral("a"), QStringLiteral("K"), QStringLiteral("2"));
    ASSERT_EQ(0, stat(QFile::encodeName(target).constData(), &info));
    EXPECT_EQ(before, info.st_ino);
}

TEST_F(IniFileTest, AWriteThatFailsLeavesTheOldFileWholeAndSaysWhere) {
    const QByteArray before = "[A]\nk=" + QByteArray(500, 'v') + "\nother=kept\n";
    WriteTestFile(Path(), before);

    // A full disk, as the file-size limit shows it: the write of the new
    // content fails part-way.
    struct rlimit old {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 600;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    QString message;
    try {
        Ini().WriteString(QStringLiteral("A"), QStringLiteral("k"), QString(2000, u'n'));
    } catch (const EKavroError& error) {
        message = ErrorMessage(error);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(KavroMessage(QStringLiteral("UnableToWrite"), {Path()}), message);
    EXPECT_EQ(before, ReadTestFile(Path()));
    EXPECT_EQ(QStringList{QStringLiteral("Config.ini")}, FolderEntries());

    // A folder that cannot hold the file at all.
    const QString blocked = Dir.filePath(QStringLiteral("file/Config.ini"));
    WriteTestFile(Dir.filePath(QStringLiteral("file")), "not a folder");
    try {
        TIniFile(blocked).WriteString(QStringLiteral("A"), QStringLiteral("k"),
                                      QStringLiteral("v"));
        ADD_FAILURE() << "no error";
    } catch (const EKavroError& error) {
        EXPECT_EQ(KavroMessage(QStringLiteral("UnableToWrite"), {blocked}), ErrorMessage(error));
    }
}

} // namespace
