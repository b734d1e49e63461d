#pragma once

#include "SigningKey.h"
#include "TestFiles.h"

#include <QTemporaryDir>

#include <stdexcept>

// A 2048-bit RSA key pair of the tests' own, made with the openssl command once
// per test program; its private half lives only in a temporary folder.
class TUpdateTestKeys {
public:
    static const TUpdateTestKeys& Get() {
        static const TUpdateTestKeys keys;
        return keys;
    }

    QString PrivateKey() const { return Dir.filePath(QStringLiteral("private.pem")); }
    QByteArray PublicKey() const {
        return ReadTestFile(Dir.filePath(QStringLiteral("public.pem")));
    }

    // The 256-byte RSASSA-PKCS1-v1_5 signature over `bytes` with the given digest.
    QByteArray Sign(const QByteArray& bytes,
                    const QString& digest = QStringLiteral("-sha1")) const {
        const QString data = Dir.filePath(QStringLiteral("data"));
        const QString signature = Dir.filePath(QStringLiteral("signature"));
        WriteTestFile(data, bytes);
        RunChecked({QStringLiteral("openssl"), QStringLiteral("dgst"), digest,
                    QStringLiteral("-sign"), PrivateKey(), QStringLiteral("-out"), signature,
                    data});
        return ReadTestFile(signature);
    }

    // `body` followed by its valid signature.
    QByteArray Package(const QByteArray& body) const { return body + Sign(body); }

private:
    TUpdateTestKeys() {
        if (!Dir.isValid())
            throw std::runtime_error("no temporary folder for the test keys");
        RunChecked({QStringLiteral("openssl"), QStringLiteral("genrsa"), QStringLiteral("-out"),
                    PrivateKey(), QStringLiteral("2048")});
        RunChecked({QStringLiteral("openssl"), QStringLiteral("rsa"), QStringLiteral("-in"),
                    PrivateKey(), QStringLiteral("-RSAPublicKey_out"), QStringLiteral("-out"),
                    Dir.filePath(QStringLiteral("public.pem"))});
    }

    QTemporaryDir Dir;
};
