#pragma once

#include "Process.h"
#include "TestFiles.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

// A 2048-bit RSA key pair made by the openssl command for this test program
// (never kept), and packages signed with it as the maker signs them: the
// installer followed by its 256-byte RSASSA-PKCS1-v1_5 signature over SHA-1.
class TUpdateSigningKey {
public:
    static const TUpdateSigningKey& Get() {
        static const TUpdateSigningKey key;
        return key;
    }

    // "-----BEGIN RSA PUBLIC KEY-----" PEM, LF line ends.
    QByteArray PublicPem;
    QString PrivatePath;

    QByteArray Sign(const QByteArray& body, const char* digest = "-sha1") const {
        const QString bodyPath = FDir.filePath(QStringLiteral("body"));
        const QString signaturePath = FDir.filePath(QStringLiteral("signature"));
        WriteTestFile(bodyPath, body);
        const TCapturedRun run = SpawnAndCapture(
            {QStringLiteral("openssl"), QStringLiteral("dgst"), QString::fromLatin1(digest),
             QStringLiteral("-sign"), PrivatePath, QStringLiteral("-out"), signaturePath, bodyPath},
            FDir.path());
        EXPECT_EQ(0, run.ExitCode) << run.Output.toStdString();
        return ReadTestFile(signaturePath);
    }
    QByteArray Package(const QByteArray& body) const { return body + Sign(body); }

private:
    TUpdateSigningKey() {
        PrivatePath = FDir.filePath(QStringLiteral("private.pem"));
        const QString publicPath = FDir.filePath(QStringLiteral("public.pem"));
        EXPECT_EQ(0, SpawnAndCapture({QStringLiteral("openssl"), QStringLiteral("genrsa"),
                                      QStringLiteral("-out"), PrivatePath, QStringLiteral("2048")},
                                     FDir.path())
                         .ExitCode);
        EXPECT_EQ(0, SpawnAndCapture({QStringLiteral("openssl"), QStringLiteral("rsa"),
                                      QStringLiteral("-in"), PrivatePath,
                                      QStringLiteral("-RSAPublicKey_out"), QStringLiteral("-out"),
                                      publicPath},
                                     FDir.path())
                         .ExitCode);
        PublicPem = ReadTestFile(publicPath);
    }

    QTemporaryDir FDir;
};
