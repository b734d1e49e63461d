#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class TUpdateHttpClient;
class TUpdateCheckThread;

// The update service's address and the program's version, chosen when the
// program is built.
extern const char* const UpdateServiceUrl;
inline constexpr int32_t KavroVersion = 2015073001;
// The message with which the check asks the main window whether the installer
// may run: 1 agrees, anything else declines.
inline constexpr uint32_t UpdateMessageNumber = 5120;

// What the check sends its message to: a window, answering on the UI thread.
class TMessageWindow {
public:
    virtual intptr_t SendMessage(uint32_t message) = 0;

protected:
    ~TMessageWindow() = default;
};

// What the check uses of the world; tests replace parts of it.
struct TUpdaterEnvironment {
    // The machine identity's two texts (see GetActivePrivateIPAddress).
    std::function<uint8_t(char* first, char* second)> MachineLookup;
    // The key packages must be signed with.
    QByteArray PublicKey;
    // Where the crypto library is looked for (empty: the program's own places).
    QString LibraryFolder;
    // Starts the saved installer as a process of its own, not waited for.
    std::function<void(const QString& file, const QStringList& arguments)> StartInstaller;
    // The update client's inactivity limit.
    std::chrono::milliseconds InactivityTimeout{30000};
    // Where the installer is saved: a folder of the user's own is made in it.
    QString TemporaryFolder;
    // Bounds on what a service may send: more ends the check as an error.
    int64_t MaxAnswerSize = 64 * 1024;
    int64_t MaxPackageSize = 256 * 1024 * 1024;

    static TUpdaterEnvironment Default();
};

// The parameter text the installer is started with, for the program's folder
// (which ends in a separator), and the same split into arguments as a Windows
// command line is: blanks separate, double quotes group and are dropped.
QString InstallerParameters(const QString& programFolder);
QStringList SplitParameters(const QString& text);

// Creates, exclusively and for the owner alone, an executable file for the
// installer in a folder of the user's own under `temporaryFolder`, writes
// `installer` to it and answers its path. Never writes or follows an existing
// file or link. Throws EUpdateError.
QString SaveInstaller(const QByteArray& installer, const QString& temporaryFolder);

// The update check, once per program start: asks the service whether a newer
// version exists, fetches and verifies its package, saves the installer and,
// when the main window agrees, starts it to install into the program's folder.
// Nothing of it is ever shown, except the window's own notice.
class TZephUpdater {
public:
    // The check starts at once on a thread of its own.
    TZephUpdater(int32_t UpdateCheckVersion, int32_t UpdateMessage, const QString& UpdateURL,
                 const QByteArray& ProgramName, TMessageWindow* MainWindow, bool UseMainThread,
                 bool AddLangSignature,
                 TUpdaterEnvironment Environment = TUpdaterEnvironment::Default());
    // Waits for the check to end.
    ~TZephUpdater();
    TZephUpdater(const TZephUpdater&) = delete;
    TZephUpdater& operator=(const TZephUpdater&) = delete;

    // Waits for the check to end and frees its thread; a second call does nothing.
    void WaitFor();

    // Read once the check has ended (after WaitFor).
    const QString& UpdateFileName() const { return FUpdateFileName; }
    bool UpdateException() const { return FUpdateException; }
    const QByteArray& ProgramName() const { return FProgramName; }
    // The client, when it has been created.
    TUpdateHttpClient* HttpClient() const { return FHttpCli.get(); }

private:
    friend class TUpdateCheckThread;
    void Execute();

    std::unique_ptr<TUpdateHttpClient> FHttpCli;
    std::unique_ptr<TUpdateCheckThread> FUpdateCheckThread;
    int32_t FUpdateCheckVersion;
    int32_t FUpdateMessage;
    QString FUpdateURL;
    QByteArray FProgramName;
    QString FUpdateFileName;
    TMessageWindow* FMainWindow;
    bool FUpdateException = false;
    bool FUseMainThread;
    TUpdaterEnvironment FEnvironment;
};

// The updater of this process, set when one is created; only one exists at a time.
extern std::atomic<TZephUpdater*> CurrentUpdater;
