#include "OpensslVerifyHelper.h"
#include "UpdateProtocol.h"

#include "KavroTest.h"
#include "SigningKey.h"
#include "UpdateSigning.h"

#include <QDir>
#include <QTemporaryDir>

#include <functional>

#include <dlfcn.h>
#include <link.h>

namespace {

// An installer-like body: starts as the updater expects and differs at every offset.
QByteArray Body(qsizetype size = 5000) {
    return (QByteArrayLiteral("MZP") + PatternBytes(size)).left(size);
}

QByteArray Flipped(QByteArray bytes, qsizetype at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
}

// Where the dynamic linker finds the system's libcrypto.so.3.
QString SystemCryptoLibrary() {
    QString path;
    void* handle = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    link_map* map = nullptr;
    if (handle && dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map)
        path = QFile::decodeName(map->l_name);
    if (handle)
        dlclose(handle);
    return path;
}

QString SignUpdateScript() {
    return QStringLiteral(KAVRO_TEST_SUPPORT_DIR "/../../tools/sign-update.sh");
}

} // namespace

TEST(VerifyPackage, OnlyASha1SignatureOverExactlyTheBodyIsAccepted) {
    const TUpdateTestKeys& keys = TUpdateTestKeys::Get();
    const QByteArray body = Body();
    const qsizetype last = body.size() - 1;
    const qsizetype size = body.size() + 256;
    struct Case {
        const char* Name;
        std::function<QByteArray()> Package;
        bool Accepted;
    } const cases[] = {
        {"valid", [&] { return keys.Package(body); }, true},
        {"first body byte changed", [&] { return Flipped(keys.Package(body), 0); }, false},
        {"last body byte changed", [&] { return Flipped(keys.Package(body), last); }, false},
        {"first signature byte changed", [&] { return Flipped(keys.Package(body), size - 256); },
         false},
        {"last signature byte changed", [&] { return Flipped(keys.Package(body), size - 1); },
         false},
        {"SHA-256 signature", [&] { return body + keys.Sign(body, QStringLiteral("-sha256")); },
         false},
        {"signature over the whole signed package",
         [&] { return body + keys.Sign(keys.Package(body)); }, false},
        {"signature over the body without its last byte",
         [&] { return body + keys.Sign(body.chopped(1)); }, false},
        {"body followed by a signature over it and one byte more",
         [&] { return body + keys.Sign(body + 'x'); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QByteArray package = c.Package();
        ASSERT_EQ(package.size(), size);
        EXPECT_EQ(VerifySignedStream(package, keys.PublicKey(), QString()), c.Accepted);
    }
}

TEST(VerifyPackage, APackageWithoutRoomForABodyCannotBeSplit) {
    const TUpdateTestKeys& keys = TUpdateTestKeys::Get();
    for (const qsizetype size : {0, 3, 200, 256}) {
        SCOPED_TRACE(size);
        const QByteArray package = Body(size);
        EXPECT_THROW(VerifySignedStream(package, keys.PublicKey(), QString()), EUpdateError);
    }
    // The shortest package that splits: one body byte and its signature.
    const QByteArray smallest = keys.Package(QByteArrayLiteral("M"));
    ASSERT_EQ(smallest.size(), 257);
    EXPECT_TRUE(VerifySignedStream(smallest, keys.PublicKey(), QString()));
    EXPECT_FALSE(VerifySignedStream(Flipped(smallest, 0), keys.PublicKey(), QString()));
}

TEST(VerifyPackage, TheKeyIsItsTextUpToTheFirstEndLineEndedByALoneLf) {
    const TUpdateTestKeys& keys = TUpdateTestKeys::Get();
    const QByteArray key = keys.PublicKey();
    QByteArray crLf = key;
    crLf.replace("\n", "\r\n");
    QByteArray truncated = key;
    truncated.remove(key.indexOf('\n') + 1, 65); // the first Base64 line
    struct Case {
        const char* Name;
        QByteArray KeyText;
        bool Accepted;
    } const cases[] = {
        {"as made", key, true},
        {"garbage after the end line", key + QByteArrayLiteral("\0\xff garbage\r\n-----"), true},
        {"followed by another key", key + UpdatePublicKey, true},
        {"another key first", UpdatePublicKey + key, false},
        {"CR LF line ends", crLf, false},
        {"no LF after the end line", key.chopped(1), false},
        {"a Base64 line missing", truncated, false},
        {"empty", QByteArray(), false},
    };
    const QByteArray package = keys.Package(Body());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(VerifySignedStream(package, c.KeyText, QString()), c.Accepted);
    }
}

TEST(VerifyPackage, TheCryptoLibraryComesOnlyFromAGivenFolder) {
    const TUpdateTestKeys& keys = TUpdateTestKeys::Get();
    const QString systemLibrary = SystemCryptoLibrary();
    ASSERT_FALSE(systemLibrary.isEmpty());
    enum TContent { Nothing, Crypto, OtherLibrary };
    struct Case {
        const char* Name;
        TContent Content;
        bool TrailingSeparator;
        bool Accepted;
    } const cases[] = {
        {"libcrypto.so.3 there", Crypto, true, true},
        {"folder named without its separator", Crypto, false, true},
        {"no libcrypto.so.3 there", Nothing, true, false},
        {"another library under that name", OtherLibrary, true, false},
    };
    const QByteArray package = keys.Package(Body());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        const QString name = folder.filePath(QStringLiteral("libcrypto.so.3"));
        if (c.Content != Nothing) {
            const QString target =
                c.Content == Crypto ? systemLibrary : QStringLiteral(KAVRO_FAKE_ENGINE_PATH);
            ASSERT_TRUE(QFile::link(target, name));
        }
        const QString given =
            folder.path() + (c.TrailingSeparator ? QStringLiteral("/") : QString());
        EXPECT_EQ(VerifySignedStream(package, keys.PublicKey(), given), c.Accepted);
    }
}

TEST(VerifyShippedKey, IsA2048BitPkcs1KeyInTheExpectedLayout) {
    ASSERT_EQ(UpdatePublicKey.size(), 426);
    EXPECT_TRUE(UpdatePublicKey.endsWith('\n'));
    EXPECT_FALSE(UpdatePublicKey.contains('\r'));
    const QByteArrayList lines = UpdatePublicKey.chopped(1).split('\n');
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines.first(), "-----BEGIN RSA PUBLIC KEY-----");
    EXPECT_EQ(lines.last(), "-----END RSA PUBLIC KEY-----");
    for (qsizetype i = 1; i <= 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].size(), i < 6 ? 64 : 40);
        EXPECT_EQ(QByteArray::fromBase64(lines[i]).toBase64(), lines[i]);
    }

    // The crypto library itself reads it as a 2048-bit RSA key.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString file = folder.filePath(QStringLiteral("shipped.pem"));
    WriteTestFile(file, UpdatePublicKey);
    const QByteArray text = RunChecked({QStringLiteral("openssl"), QStringLiteral("rsa"),
                                        QStringLiteral("-RSAPublicKey_in"), QStringLiteral("-in"),
                                        file, QStringLiteral("-noout"), QStringLiteral("-text")});
    EXPECT_TRUE(text.contains("Public-Key: (2048 bit)")) << text.toStdString();
}

TEST(VerifyShippedKey, RefusesAPackageSignedByAnotherKey) {
    const TUpdateTestKeys& keys = TUpdateTestKeys::Get();
    const QByteArray package = keys.Package(Body());
    ASSERT_TRUE(VerifySignedStream(package, keys.PublicKey(), QString()));
    EXPECT_FALSE(VerifySignedStream(package, UpdatePublicKey, QString()));
}

TEST(VerifySignTool, WritesAPackageTheProgramAccepts) {
    const TUpdateTestKeys& keys = TUpdateTestKeys::Get();
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString installer = folder.filePath(QStringLiteral("installer"));
    const QString out = folder.filePath(QStringLiteral("package"));
    const QByteArray body = Body(70000);
    WriteTestFile(installer, body);

    RunChecked({SignUpdateScript(), keys.PrivateKey(), installer, out});
    const QByteArray package = ReadTestFile(out);
    ASSERT_EQ(package.size(), body.size() + 256);
    EXPECT_EQ(package.left(body.size()), body);
    EXPECT_TRUE(VerifySignedStream(package, keys.PublicKey(), QString()));

    // The key it prints is the one the program is built with, in the same form.
    const QByteArray printed =
        RunChecked({SignUpdateScript(), QStringLiteral("--public-key"), keys.PrivateKey()});
    EXPECT_EQ(printed.size(), 426);
    EXPECT_TRUE(VerifySignedStream(package, printed, QString()));
}

TEST(VerifySignTool, RefusesAKeyThatIsNot2048Bit) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString key = folder.filePath(QStringLiteral("small.pem"));
    const QString installer = folder.filePath(QStringLiteral("installer"));
    const QString out = folder.filePath(QStringLiteral("package"));
    RunChecked({QStringLiteral("openssl"), QStringLiteral("genrsa"), QStringLiteral("-out"), key,
                QStringLiteral("1024")});
    WriteTestFile(installer, Body());

    for (const QStringList& argv :
         {QStringList{SignUpdateScript(), key, installer, out},
          QStringList{SignUpdateScript(), QStringLiteral("--public-key"), key}}) {
        SCOPED_TRACE(argv.join(u' ').toStdString());
        const TCapturedRun run = SpawnAndCapture(argv, folder.path());
        ASSERT_TRUE(run.Started);
        EXPECT_NE(run.ExitCode, 0);
        EXPECT_TRUE(run.Output.contains("2048")) << run.Output.toStdString();
    }
    EXPECT_FALSE(QFile::exists(out));
}

TEST(VerifyCryptoLibraryHold, LoadsTheNamedFileOnlyWhenItIsAUsableLibrary) {
    // Single-threaded here, so the environment may change.
    const QByteArray saved = qgetenv("KAVRO_CRYPTO_LIBRARY");
    const bool wasSet = qEnvironmentVariableIsSet("KAVRO_CRYPTO_LIBRARY");
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    struct Case {
        const char* Name;
        QString Library; // empty: the variable is not set
        bool Loaded;
    } const cases[] = {
        {"missing file", folder.filePath(QStringLiteral("libcrypto.so.3")), false},
        {"another library", QStringLiteral(KAVRO_FAKE_ENGINE_PATH), false},
        {"the system's libcrypto by path", SystemCryptoLibrary(), true},
        {"not set", QString(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Library.isEmpty())
            qunsetenv("KAVRO_CRYPTO_LIBRARY");
        else
            qputenv("KAVRO_CRYPTO_LIBRARY", QFile::encodeName(c.Library));
        EXPECT_EQ(LoadCryptoLibrary(), c.Loaded);
        ReleaseCryptoLibrary();
    }
    if (wasSet)
        qputenv("KAVRO_CRYPTO_LIBRARY", saved);
    else
        qunsetenv("KAVRO_CRYPTO_LIBRARY");
    ReleaseCryptoLibrary(); // a second release without a hold is harmless
}
