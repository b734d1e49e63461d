#include "InstanceLock.h"
#include "KavroTest.h"
#include "ModalAnswer.h"
#include "ProgramStartup.h"
#include "SyncWait.h"
#include "TestFiles.h"

#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

namespace {

// The real executable as a user starts it, on Qt's offscreen platform, with a
// home, configuration and session folder of its own.
class ProgramTest : public testing::Test {
protected:
    std::unique_ptr<QProcess> Start(const QString& program = QStringLiteral(KAVRO_PATH)) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HOME"), Home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), Home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), Session.path());
        env.remove(QStringLiteral("KAVRO_LANGUAGE_DIR"));
        // The engine's daily check goes to a port where nothing answers.
        env.insert(QStringLiteral("XDG_DATA_HOME"), Home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("KAVRO_ENGINE_RELEASES"), QStringLiteral("http://127.0.0.1:9/"));
        env.insert(QStringLiteral("KAVRO_RUNTIME_RELEASES"), QStringLiteral("http://127.0.0.1:9/"));
        env.insert(QStringLiteral("KAVRO_UPDATE_URL"),
                   QStringLiteral("http://127.0.0.1:9/update/zephupdate.php"));
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, {});
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }

    // Whether `process` holds the session's instance lock, as /proc/locks shows it.
    bool HoldsLock(const QProcess& process) const {
        struct stat info {};
        const QByteArray path =
            QFile::encodeName(Session.path() + u'/' + QString::fromLatin1(InstanceLockName) +
                              QStringLiteral(".lock"));
        if (stat(path.constData(), &info) != 0)
            return false;
        const QByteArray pid = QByteArray::number(process.processId());
        const QByteArray inode =
            ':' + QByteArray::number(static_cast<qulonglong>(info.st_ino)) + ' ';
        for (const QByteArray& line : ReadTestFile(QStringLiteral("/proc/locks")).split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 5 && fields[1] == "FLOCK" && fields[4] == pid &&
                (fields[5] + ' ').endsWith(inode))
                return true;
        }
        return false;
    }
    bool WaitForLock(const QProcess& process) const {
        return WaitUntil(
                   [&] { return HoldsLock(process) || process.state() != QProcess::Running; }) &&
               HoldsLock(process);
    }
    static int EndWith(QProcess& process, int signal) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        EXPECT_TRUE(process.waitForFinished(30000));
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -signal;
    }

    QTemporaryDir Home;
    QTemporaryDir Session;
};

TEST_F(ProgramTest, OneCopyPerSessionAndAQuietEnd) {
    auto first = Start();
    ASSERT_TRUE(WaitForLock(*first));

    auto second = Start();
    ASSERT_TRUE(second->waitForFinished(30000)) << "a second copy ends at once";
    EXPECT_EQ(QProcess::NormalExit, second->exitStatus());
    EXPECT_EQ(0, second->exitCode());
    EXPECT_EQ(QProcess::Running, first->state()) << "the first copy runs on";

    // Ending the session closes the window as the user would: settings are kept.
    EXPECT_EQ(0, EndWith(*first, SIGTERM));
    const QByteArray config =
        ReadTestFile(Home.filePath(QStringLiteral("config/Kavro/Config.ini")));
    EXPECT_TRUE(config.contains("[TfrmMain]\n")) << config.toStdString();
    EXPECT_TRUE(config.contains("\nLeft=")) << config.toStdString();
    EXPECT_TRUE(config.contains("\nYoutubeQualityExt=mp4\n")) << config.toStdString();

    // After a crash the lock is gone with the process.
    auto crashed = Start();
    ASSERT_TRUE(WaitForLock(*crashed));
    EXPECT_EQ(-SIGKILL, EndWith(*crashed, SIGKILL));
    auto next = Start();
    EXPECT_TRUE(WaitForLock(*next));
    EXPECT_EQ(0, EndWith(*next, SIGTERM));
}

TEST_F(ProgramTest, TheWindowOpensEvenWithoutItsEngine) {
    // A copy of the program without the engine library beside it.
    const QString lonely = Home.filePath(QStringLiteral("kavro"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KAVRO_PATH), lonely));
    QFile::setPermissions(lonely, QFile::permissions(lonely) | QFileDevice::ExeOwner);
    auto program = Start(lonely);
    ASSERT_TRUE(WaitForLock(*program));
    EXPECT_EQ(QProcess::Running, program->state());
    EXPECT_EQ(0, EndWith(*program, SIGTERM)) << "the engine message is closed with the window";
}

// Runs the program with its crypto library missing, answering the refusal and
// reporting what it showed; returns only if the program went on.
void StartWithoutCryptoLibrary() {
    qputenv("KAVRO_CRYPTO_LIBRARY", "/nonexistent/libcrypto.so.3");
    const TModalAnswer answer([](QDialog* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        fprintf(stderr, "[%s] %s, %d button(s)\n", qPrintable(box->windowTitle()),
                qPrintable(box->text()), static_cast<int>(box->buttons().size()));
        box->button(QMessageBox::Ok)->click();
    });
    char name[] = "kavro";
    char* argv[] = {name, nullptr};
    RunKavro(1, argv);
    fprintf(stderr, "the program went on\n");
    std::exit(3);
}

TEST(ProgramStartDeathTest, WithoutTheCryptoLibraryOnlyItsRefusalIsShown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartWithoutCryptoLibrary(), testing::ExitedWithCode(0),
                "\\[error\\] Can't load a libeay32.dll, 1 button");
}

} // namespace
