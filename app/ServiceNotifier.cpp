#include "app/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zel {
namespace {

// How often the status is looked at; the watchdog pings come at least twice
// per interval systemd gave, as it recommends.
constexpr std::chrono::milliseconds kStatusPeriod{1000};

}  // namespace

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    underSystemd_ = socket != nullptr && *socket != '\0';
    std::uint64_t usec = 0;
    if (underSystemd_ && sd_watchdog_enabled(0, &usec) > 0) {
        watchdog_ = std::chrono::microseconds(usec);
    }
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

void ServiceNotifier::Ready(std::function<std::string()> status) {
    if (!underSystemd_) {
        return;
    }
    status_ = std::move(status);
    lastStatus_ = status_ ? status_() : std::string();
    Send("READY=1\nSTATUS=" + lastStatus_);
    std::chrono::milliseconds period = kStatusPeriod;
    if (watchdog_.count() > 0) {
        period = std::min(
            period, std::max(std::chrono::milliseconds(1),
                             std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 2)));
        Send("WATCHDOG=1");
    }
    timer_.start(period);
}

void ServiceNotifier::Stopping() {
    if (!underSystemd_ || stopping_) {
        return;
    }
    stopping_ = true;
    timer_.stop();
    Send("STOPPING=1");
}

void ServiceNotifier::Tick() {
    if (watchdog_.count() > 0) {
        Send("WATCHDOG=1");
    }
    if (status_) {
        std::string status = status_();
        if (status != lastStatus_) {
            lastStatus_ = std::move(status);
            Send("STATUS=" + lastStatus_);
        }
    }
}

void ServiceNotifier::Send(const std::string& message) const {
    const int result = sd_notify(0, message.c_str());
    if (result < 0 && !reportedFailure_) {
        reportedFailure_ = true;
        std::fprintf(stderr, "Telling systemd \"%s\": %s\n", message.c_str(),
                     std::strerror(-result));
    }
}

}  // namespace zel
