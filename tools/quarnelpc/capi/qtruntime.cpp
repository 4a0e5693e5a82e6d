#include "qtruntime.h"

#include <QCoreApplication>

#include <pthread.h>

#include <clocale>
#include <string>

namespace QuarnelPc {

namespace {

int argc = 1;
char name[] = "quarnelpc";
char *argv[] = {name, nullptr};

// A POSIX thread rather than std::thread, whose template instances the
// library would export; nor a QThread, which would make the caller's
// thread Qt's main thread.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t made = PTHREAD_COND_INITIALIZER;
bool ready = false;
// Never deleted: handles may be in use until the process ends. Kept here,
// where a leak checker sees it is still in use.
QCoreApplication *application = nullptr;

void *hostApplication(void *)
{
    const std::string locale = std::setlocale(LC_ALL, nullptr);
    application = new QCoreApplication(argc, argv);
    std::setlocale(LC_ALL, locale.c_str());
    pthread_mutex_lock(&lock);
    ready = true;
    pthread_cond_broadcast(&made);
    // The application's thread stays, idle, as long as the application.
    for (;;)
        pthread_cond_wait(&made, &lock);
    return nullptr;
}

} // namespace

void QtRuntime::ensure()
{
    pthread_mutex_lock(&lock);
    if (!ready && !QCoreApplication::instance()) {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (pthread_create(&thread, &attributes, hostApplication, nullptr) == 0) {
            while (!ready)
                pthread_cond_wait(&made, &lock);
        }
        pthread_attr_destroy(&attributes);
    }
    pthread_mutex_unlock(&lock);
}

} // namespace QuarnelPc
