#include "app/SignalBridge.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zel {
namespace {

int g_writeFd = -1;

extern "C" void OnSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (g_writeFd >= 0) {
        [[maybe_unused]] ssize_t written = ::write(g_writeFd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0) {
        throw std::runtime_error(std::string("socketpair for signals failed: ") +
                                 std::strerror(errno));
    }
    g_writeFd = fds_[0];
    notifier_ = new QSocketNotifier(fds_[1], QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

SignalBridge::~SignalBridge() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
    g_writeFd = -1;
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void SignalBridge::Drain() {
    unsigned char received[16];
    ssize_t count;
    while ((count = ::read(fds_[1], received, sizeof received)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (received[i] == SIGHUP) {
                if (OnHangUp) {
                    OnHangUp();
                }
            } else if (OnTerminate) {
                OnTerminate();
            }
        }
    }
}

}  // namespace zel
