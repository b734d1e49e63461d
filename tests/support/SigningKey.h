#pragma once

#include "Process.h"
#include "TestFiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>

// Tools for a software release served by the tests: signed as its makers sign
// it, with a key pair of the tests' own.

// Runs a program to its end; throws when it fails.
inline QByteArray RunChecked(const QStringList& argv) {
    const TCapturedRun run = SpawnAndCapture(argv, QStringLiteral("/"));
    if (!run.Started || run.ExitCode != 0)
        throw std::runtime_error(argv.join(u' ').toStdString() + ": " + run.Output.toStdString());
    return run.Output;
}

// An OpenPGP key pair of the tests' own, in a GnuPG home of its own.
class TSigningKey {
public:
    TSigningKey() {
        RunChecked({QStringLiteral("gpg"), QStringLiteral("--homedir"), Home.path(),
                    QStringLiteral("--batch"), QStringLiteral("--passphrase"), QString(),
                    QStringLiteral("--quick-gen-key"),
                    QStringLiteral("Kavro Test <test@kavro.invalid>"), QStringLiteral("ed25519"),
                    QStringLiteral("sign"), QStringLiteral("never")});
        WriteTestFile(PublicKey(),
                      RunChecked({QStringLiteral("gpg"), QStringLiteral("--homedir"), Home.path(),
                                  QStringLiteral("--armor"), QStringLiteral("--export")}));
    }
    ~TSigningKey() {
        SpawnAndCapture({QStringLiteral("gpgconf"), QStringLiteral("--homedir"), Home.path(),
                         QStringLiteral("--kill"), QStringLiteral("gpg-agent")},
                        QStringLiteral("/"));
    }
    QString PublicKey() const { return Home.filePath(QStringLiteral("public.asc")); }
    void Sign(const QString& file, const QString& signature) const {
        QFile::remove(signature);
        RunChecked({QStringLiteral("gpg"), QStringLiteral("--homedir"), Home.path(),
                    QStringLiteral("--batch"), QStringLiteral("--detach-sign"),
                    QStringLiteral("--output"), signature, file});
    }

private:
    QTemporaryDir Home;
};

inline QByteArray Sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// The release's archives are made by makezip.py (see there).
inline QString MakeZipScript() {
    return QStringLiteral(KAVRO_TEST_SUPPORT_DIR "/makezip.py");
}
