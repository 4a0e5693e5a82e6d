#include "qtruntime.h"

#include <QCoreApplication>

#include <clocale>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace QuarnelPc {

namespace {

int argc = 1;
char name[] = "quarnelpc";
char *argv[] = {name, nullptr};

void hostApplication(std::mutex *lock, std::condition_variable *made, bool *ready)
{
    const std::string locale = std::setlocale(LC_ALL, nullptr);
    // Never deleted: handles may be in use until the process ends.
    new QCoreApplication(argc, argv);
    std::setlocale(LC_ALL, locale.c_str());
    {
        std::lock_guard<std::mutex> l(*lock);
        *ready = true;
        made->notify_all();
    }
    // The application's thread stays, idle, as long as the application.
    std::mutex idle;
    std::condition_variable never;
    std::unique_lock<std::mutex> l(idle);
    never.wait(l, [] { return false; });
}

} // namespace

void QtRuntime::ensure()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (QCoreApplication::instance())
            return;
        std::mutex lock;
        std::condition_variable made;
        bool ready = false;
        std::thread(hostApplication, &lock, &made, &ready).detach();
        std::unique_lock<std::mutex> l(lock);
        made.wait(l, [&] { return ready; });
    });
}

} // namespace QuarnelPc
