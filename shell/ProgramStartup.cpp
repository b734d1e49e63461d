#include "ProgramStartup.h"

#include "EngineBridge.h"
#include "GLMsgDlg.h"
#include "GlobalLanguage.h"
#include "InstanceLock.h"
#include "MainUnit.h"
#include "OpensslVerifyHelper.h"
#include "Process.h"
#include "TerminationSignal.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <cstdlib>

int RunKavro(int argc, char** argv) {
    // A session that ends while Kavro starts still ends it the orderly way, once
    // the window is there.
    CatchTerminationSignals();
    RestoreChildSignal();

    // The engine's start-up hook comes first. A failure does not stop the
    // program: the user is told once, and a download then fails with the reason.
    const bool engineLoaded = LoadEngine();

    // Update packages cannot be verified without the crypto library: the
    // program refuses to start, before the single-instance check.
    if (!LoadCryptoLibrary())
        RefuseToStartWithoutCryptoLibrary(argc, argv);

    if (!CreateInstanceLock(QString::fromLatin1(InstanceLockName)))
        return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kavro"));
    QApplication::setDesktopFileName(QStringLiteral("kavro"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kavro.svg")));

    std::unique_ptr<TfrmMain> window = TForm::Create<TfrmMain>();
    window->show();
    if (!engineLoaded) {
        QTimer::singleShot(0, window.get(), [&window] {
            if (window->isVisible())
                GLMessageDlg(TranslateMessage(EngineLoadError()), mtError, MsgDlgButtons({mbOK}));
        });
    }
    // The session ending (or a kill) closes the window as the user would, so
    // the download is stopped and the settings are kept.
    OnTerminationSignal(window.get(), [] { QApplication::closeAllWindows(); });

    QApplication::exec();
    // Windows are destroyed before the modules shut down; the update check,
    // which uses the crypto library, has ended with the window.
    window.reset();
    ReleaseCryptoLibrary();
    return 0;
}

void RefuseToStartWithoutCryptoLibrary(int argc, char** argv) {
    {
        // A program that already has its application object (a test) keeps it.
        std::unique_ptr<QApplication> app;
        if (!QApplication::instance())
            app = std::make_unique<QApplication>(argc, argv);
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("error"),
                        QStringLiteral("Can't load a libeay32.dll"), QMessageBox::Ok);
        box.exec();
    }
    // At once: no window, no shut-down hooks.
    std::_Exit(0);
}
