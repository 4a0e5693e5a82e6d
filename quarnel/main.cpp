#include <QApplication>

#include "controller.h"
#include "maingui.h"
#include "quarnelnetwork.h"
#include "singleinstanceguard.h"
#include "unixsignalwatcher.h"

int main(int argc, char **argv)
{
    QApplication *app = new QApplication(argc, argv);
    QApplication::setOrganizationName("talvenor");
    QApplication::setOrganizationDomain("talvenor.example");
    QApplication::setApplicationName("quarnel");
    QApplication::setApplicationVersion("1.9.2022.5");

    SingleInstanceGuard *guard = new SingleInstanceGuard;
    if (!guard->Acquire()) {
        delete guard;
        delete app;
        return -1;
    }

    // Installed before the top-level objects are built (slow on the panel),
    // so that a stop request arriving meanwhile still ends the program
    // through the normal shutdown once the event loop runs.
    UnixSignalWatcher *signalWatcher = new UnixSignalWatcher;
    QObject::connect(signalWatcher, SIGNAL(TerminationRequested(int)), app, SLOT(quit()));

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
    delete app;
    return 0;
}
