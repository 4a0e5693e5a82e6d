#include <QApplication>

#include "controller.h"
#include "maingui.h"
#include "quarnelnetwork.h"
#include "quarnelprotocol.h"
#include "runlock.h"
#include "singleinstanceguard.h"
#include "unixsignalwatcher.h"

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
    QObject::connect(signalWatcher, SIGNAL(TerminationRequested(int)), app, SLOT(quit()));

    // The guard's keys depend on TMPDIR and the IPC namespace; an instance
    // started with others (pam_tmpdir, a private /tmp) meets only the run
    // lock. A lock file that cannot be opened must not keep the panel dark.
    RunLock *runLock = new RunLock;
    if (runLock->Acquire() == RunLock::Held) {
        delete runLock;
        delete signalWatcher;
        delete app;
        return -1;
    }
    SingleInstanceGuard *guard = new SingleInstanceGuard;
    if (!guard->Acquire()) {
        delete guard;
        delete runLock;
        delete signalWatcher;
        delete app;
        return -1;
    }

    QuarnelNetwork *hub = new QuarnelNetwork(nullptr);
    Controller *controller = new Controller(hub, nullptr);
    MainGui *gui = new MainGui(nullptr);
    gui->showFullScreen();
    gui->SetController(controller);

    app->exec();

    delete gui;
    delete controller;
    delete hub;

    delete signalWatcher;
    delete guard;
    // Released only now that the link is closed.
    delete runLock;
    delete app;
    return 0;
}
