// ServiceNotifier: what systemd learns of the gateway, through sd_notify.
//
// READY=1 once the terminals' port is open, STATUS= lines for
// `systemctl status`, STOPPING=1 when the gateway ends, and WATCHDOG=1 from a
// timer on the event loop: a loop that stops turning stops the pings, and
// systemd restarts the gateway. Started outside systemd (no NOTIFY_SOCKET)
// every call does nothing and no timer runs.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

namespace zel {

class ServiceNotifier {
public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC once.
    ServiceNotifier();

    bool UnderSystemd() const { return underSystemd_; }
    // Zero when systemd asked for no watchdog.
    std::chrono::microseconds WatchdogInterval() const { return watchdog_; }

    // READY=1 with the first status; then the timer starts on the calling
    // thread's loop: a ping at every tick when the watchdog is on, and the
    // status from `status` whenever its text changed.
    void Ready(std::function<std::string()> status);
    // STOPPING=1, once; the pings end.
    void Stopping();

private:
    void Tick();
    void Send(const std::string& message) const;

    bool underSystemd_ = false;
    std::chrono::microseconds watchdog_{0};
    std::function<std::string()> status_;
    std::string lastStatus_;
    bool stopping_ = false;
    mutable bool reportedFailure_ = false;  // one line in the journal, not one a second
    QTimer timer_;
};

}  // namespace zel
