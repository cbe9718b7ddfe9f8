#include "app/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <iterator>

namespace tessuro {
namespace {

int signalPipeWriteEnd = -1;

// The requests to end that come as signals: a kill's default, Ctrl+C, and the hang-up of the
// terminal the installer was started from.
constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int) {
    int saved = errno;
    char byte = 1;
    if (signalPipeWriteEnd >= 0) {
        (void)::write(signalPipeWriteEnd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals() {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    signalPipeWriteEnd = pipe_[1];
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { drain(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kQuitSignals); ++i) {
        ::sigaction(kQuitSignals[i], nullptr, &previous_[i]);
        // A hang-up ignored by whoever started the installer (nohup) stays ignored.
        if (previous_[i].sa_handler != SIG_IGN) {
            ::sigaction(kQuitSignals[i], &action, nullptr);
        }
    }
}

QuitSignals::~QuitSignals() {
    for (std::size_t i = 0; i < std::size(kQuitSignals); ++i) {
        ::sigaction(kQuitSignals[i], &previous_[i], nullptr);
    }
    signalPipeWriteEnd = -1;
    notifier_.reset();
    for (int fd : pipe_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void QuitSignals::drain() {
    char buffer[64];
    while (::read(pipe_[0], buffer, sizeof buffer) > 0) {
    }
    QCoreApplication::quit();
}

}  // namespace tessuro
