#include "OpensslVerifyHelper.h"

#include "Process.h"
#include "UpdateProtocol.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <climits>
#include <mutex>

#include <dlfcn.h>

// libcrypto is opened at run time and never linked, so the program can start
// and refuse on its own terms when it is missing. Only the few entry points of
// the verification are named here, with their OpenSSL 3 signatures; their
// types stay opaque. OpenSSL 3 sets itself up on first use and cleans up at
// exit, so no global set-up or clean-up calls surround a verification.

namespace {

struct TBio;
struct TRsa;

using TPasswordCallback = int (*)(char* buffer, int size, int writing, void* user);
using TBioNewMemBuf = TBio* (*)(const void* buffer, int length);
using TPemReadBioRsaPublicKey = TRsa* (*)(TBio* bio, TRsa** into, TPasswordCallback callback,
                                          void* user);
using TRsaVerify = int (*)(int type, const unsigned char* digest, unsigned int digestLength,
                           const unsigned char* signature, unsigned int signatureLength, TRsa* key);
using TRsaFree = void (*)(TRsa* key);
using TBioFree = int (*)(TBio* bio);

constexpr int NidSha1 = 64;
constexpr qsizetype SignatureSize = 256;
const QString CryptoLibraryName = QStringLiteral("libcrypto.so.3");
const QByteArray PemEndLine = QByteArrayLiteral("-----END RSA PUBLIC KEY-----\n");

// KAVRO_CRYPTO_LIBRARY (a packager's or a test's choice), else libSSL/ beside
// the executable, else the system's: the start-up hook and every verification
// use the same file.
QString BundledLibraryPath() {
    const QByteArray chosen = qgetenv("KAVRO_CRYPTO_LIBRARY");
    if (!chosen.isEmpty())
        return QFile::decodeName(chosen);
    const QString folder = ExecutableFolder();
    if (!folder.isEmpty()) {
        const QString bundled = folder + QStringLiteral("libSSL/") + CryptoLibraryName;
        if (QFileInfo::exists(bundled))
            return bundled;
    }
    // The system's library path.
    return CryptoLibraryName;
}

QString LibraryPath(const QString& libraryFolder) {
    if (libraryFolder.isEmpty())
        return BundledLibraryPath();
    // A given folder is the only place looked at, so a missing library there fails.
    QString path = libraryFolder;
    if (!path.endsWith(u'/'))
        path += u'/';
    return path + CryptoLibraryName;
}

// A file under that name without RSA_generate_key_ex is not a libcrypto the
// verification can work with.
void* OpenUsableLibrary(const QString& path) {
    void* handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (handle && !dlsym(handle, "RSA_generate_key_ex")) {
        dlclose(handle);
        handle = nullptr;
    }
    return handle;
}

// One verification's own hold on the library.
class TCryptoLibrary {
public:
    explicit TCryptoLibrary(const QString& path) : Handle(OpenUsableLibrary(path)) {
        if (!Handle)
            return;
        BioNewMemBuf = Resolve<TBioNewMemBuf>("BIO_new_mem_buf");
        PemReadBioRsaPublicKey = Resolve<TPemReadBioRsaPublicKey>("PEM_read_bio_RSAPublicKey");
        RsaVerify = Resolve<TRsaVerify>("RSA_verify");
        RsaFree = Resolve<TRsaFree>("RSA_free");
        BioFree = Resolve<TBioFree>("BIO_free");
    }
    ~TCryptoLibrary() {
        if (Handle)
            dlclose(Handle);
    }
    TCryptoLibrary(const TCryptoLibrary&) = delete;
    TCryptoLibrary& operator=(const TCryptoLibrary&) = delete;

    bool Usable() const {
        return Handle && BioNewMemBuf && PemReadBioRsaPublicKey && RsaVerify && RsaFree && BioFree;
    }

    TBioNewMemBuf BioNewMemBuf = nullptr;
    TPemReadBioRsaPublicKey PemReadBioRsaPublicKey = nullptr;
    TRsaVerify RsaVerify = nullptr;
    TRsaFree RsaFree = nullptr;
    TBioFree BioFree = nullptr;

private:
    template <typename TFunction> TFunction Resolve(const char* name) {
        return reinterpret_cast<TFunction>(dlsym(Handle, name));
    }

    void* const Handle;
};

// The key is parsed from a memory BIO that lives only as long as the parse.
TRsa* ReadPublicKey(const TCryptoLibrary& crypto, const QByteArray& pem) {
    if (pem.size() > INT_MAX)
        return nullptr;
    TBio* bio = crypto.BioNewMemBuf(pem.constData(), static_cast<int>(pem.size()));
    if (!bio)
        return nullptr;
    TRsa* key = crypto.PemReadBioRsaPublicKey(bio, nullptr, nullptr, nullptr);
    crypto.BioFree(bio);
    return key;
}

bool VerifyWith(const TCryptoLibrary& crypto, const QByteArray& body, const QByteArray& keyStore,
                const QByteArray& signature) {
    // The key ends at its first end line followed by a lone LF; what follows does
    // not count, and a key without such a line (CR LF endings too) is unreadable.
    const qsizetype end = keyStore.indexOf(PemEndLine);
    if (end < 0)
        return false;
    TRsa* key = ReadPublicKey(crypto, keyStore.left(end + PemEndLine.size()));
    if (!key)
        return false;
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha1);
    const bool valid =
        signature.size() <= INT_MAX &&
        crypto.RsaVerify(NidSha1, reinterpret_cast<const unsigned char*>(digest.constData()),
                         static_cast<unsigned int>(digest.size()),
                         reinterpret_cast<const unsigned char*>(signature.constData()),
                         static_cast<unsigned int>(signature.size()), key) == 1;
    crypto.RsaFree(key);
    return valid;
}

std::mutex HeldLibraryLock;
void* HeldLibrary = nullptr; // the start-up hook's hold, guarded by HeldLibraryLock

} // namespace

bool VerifySignedStream(const QByteArray& package, const QByteArray& keyText,
                        const QString& libraryFolder) {
    if (package.size() <= SignatureSize)
        throw EUpdateError("the update package is too short to carry a signature");
    const qsizetype bodySize = package.size() - SignatureSize;
    return VerifyBodySignature(package.left(bodySize), keyText, package.mid(bodySize),
                               libraryFolder);
}

bool VerifyBodySignature(const QByteArray& body, const QByteArray& keyStore,
                         const QByteArray& signature, const QString& libraryFolder) {
    try {
        const TCryptoLibrary crypto(LibraryPath(libraryFolder));
        return crypto.Usable() && VerifyWith(crypto, body, keyStore, signature);
    } catch (...) {
        // Whatever goes wrong, the package simply counts as not verified.
        return false;
    }
}

bool LoadCryptoLibrary() {
    void* handle = OpenUsableLibrary(BundledLibraryPath());
    const std::lock_guard<std::mutex> guard(HeldLibraryLock);
    if (HeldLibrary)
        dlclose(HeldLibrary);
    HeldLibrary = handle;
    return handle != nullptr;
}

void ReleaseCryptoLibrary() {
    const std::lock_guard<std::mutex> guard(HeldLibraryLock);
    if (HeldLibrary)
        dlclose(HeldLibrary);
    HeldLibrary = nullptr;
}
