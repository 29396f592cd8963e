#include "SignalQuitter.h"

#include "Log.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace
{
const int quitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the signal handler, so a plain int set before any handler is installed.
int writeEnd = -1;

void onQuitSignal(int number)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    // Non-blocking: should the pair be full, a quit is pending anyway.
    [[maybe_unused]] const ssize_t ignored = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

void setHandler(void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : quitSignals)
        ::sigaction(number, &action, nullptr);
}
}

SignalQuitter::SignalQuitter()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        Log::line("Couldn't watch for quit signals: socketpair failed");
        return;
    }
    readEnd = ends[0];
    writeEnd = ends[1];
    notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalQuitter::readSignals);
    setHandler(onQuitSignal);
}

SignalQuitter::~SignalQuitter()
{
    if (readEnd < 0)
        return;
    setHandler(SIG_DFL);
    delete notifier;
    ::close(readEnd);
    ::close(writeEnd);
    writeEnd = -1;
}

void SignalQuitter::readSignals()
{
    char numbers[16];
    ssize_t count = 0;
    while ((count = ::read(readEnd, numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            Log::line("Quitting on signal ", static_cast<int>(numbers[i]), ".");
        emit quitRequested();
    }
}
