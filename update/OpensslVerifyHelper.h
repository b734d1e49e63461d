#pragma once

#include <QByteArray>
#include <QString>

// The update packages' public key (PEM, PKCS#1 "RSA PUBLIC KEY"), chosen when
// the program is built.
extern const QByteArray UpdatePublicKey;

// True only when `package` (an installer followed by its 256-byte signature)
// carries a valid signature over all but its last 256 bytes. Throws
// EUpdateError when the package has 256 bytes or fewer.
bool VerifySignedStream(const QByteArray& package, const QByteArray& keyText,
                        const QString& libraryFolder);

// RSASSA-PKCS1-v1_5 with SHA-1 through the crypto library loaded for this call:
// from libraryFolder (libcrypto.so.3 there) when it is given, otherwise from
// libSSL/ beside the executable or the system's library path. The key is the
// store's text up to its first "-----END RSA PUBLIC KEY-----" line ended by a
// lone LF. Every failure answers false.
bool VerifyBodySignature(const QByteArray& body, const QByteArray& keyStore,
                         const QByteArray& signature, const QString& libraryFolder);

// Start-up hook: loads and holds the crypto library (KAVRO_CRYPTO_LIBRARY names
// another file). False when it cannot be loaded.
bool LoadCryptoLibrary();
// Shut-down hook: lets go of it.
void ReleaseCryptoLibrary();
