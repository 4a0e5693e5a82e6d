#include <QApplication>

#include "controller.h"
#include "maingui.h"
#include "quarnelnetwork.h"
#include "quarnelprotocol.h"
#include "runlock.h"
#include "singleinstanceguard.h"
#include "system.h"
#include "unixsignalwatcher.h"

namespace {
const int ExitAnotherInstance = -1;
// Something that is not a regular file sits at the run lock's path: the
// program could neither tell instances apart nor wait for it safely.
const int ExitLockPathNotAFile = 3;
} // namespace

int main(int argc, char **argv)
{
    QApplication *app = new QApplication(argc, argv);
    QApplication::setOrganizationName("talvenor");
    QApplication::setOrganizationDomain("talvenor.example");
    QApplication::setApplicationName("quarnel");
    QApplication::setApplicationVersion(QuarnelProtocol::version());

    // Installed before the locks are taken and the top-level objects built
    // (slow on the panel): a stop request arriving meanwhile still ends the
    // program through the normal shutdown once the event loop runs, instead
    // of killing it with the instance marker left behind.
    UnixSignalWatcher *signalWatcher = new UnixSignalWatcher;
    QObject::connect(signalWatcher, &UnixSignalWatcher::TerminationRequested, app, &QCoreApplication::quit);

    // The guard's keys depend on TMPDIR and the IPC namespace; an instance
    // started with others (pam_tmpdir, a private /tmp) meets only the run
    // lock. A lock file that cannot be opened must not keep the panel dark.
    RunLock *runLock = new RunLock;
    const RunLock::Result lock = runLock->Acquire();
    if (lock == RunLock::Held || lock == RunLock::NotAFile) {
        delete runLock;
        delete signalWatcher;
        delete app;
        return lock == RunLock::Held ? ExitAnotherInstance : ExitLockPathNotAFile;
    }
    SingleInstanceGuard *guard = new SingleInstanceGuard;
    if (!guard->Acquire()) {
        delete guard;
        delete runLock;
        delete signalWatcher;
        delete app;
        return ExitAnotherInstance;
    }

    // Only the instance that runs may touch eth0: a change that a kill cut
    // short has left it down, and nobody could reach the panel.
    System().ResumeInterruptedChange();

    QuarnelNetwork *hub = new QuarnelNetwork(nullptr);
    Controller *controller = new Controller(hub, nullptr);
    MainGui *gui = new MainGui(nullptr);
    gui->showFullScreen();
    gui->SetController(controller);

    app->exec();

    // The hub first: it cuts a write to the headboxes under way and ends the
    // exam, and no byte of it may follow the signal while the windows close.
    delete hub;
    delete gui;
    delete controller;

    delete signalWatcher;
    delete guard;
    // Released only now that the link is closed.
    delete runLock;
    delete app;
    return 0;
}
