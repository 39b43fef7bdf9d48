// Turns SIGINT, SIGTERM and SIGHUP into calls on the event loop's thread.
//
// The signal handler only writes the signal number to a socket pair; a
// QSocketNotifier on the other end reads it between the loop's other events.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>

namespace zel {

class SignalBridge : public QObject {
public:
    // Installs handlers for SIGINT, SIGTERM and SIGHUP. One bridge per process.
    explicit SignalBridge(QObject* parent = nullptr);
    ~SignalBridge() override;

    std::function<void()> OnTerminate;  // SIGINT, SIGTERM
    std::function<void()> OnHangUp;     // SIGHUP

private:
    void Drain();

    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace zel
