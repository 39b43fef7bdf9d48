// CancelSignal: tells the work done for a request that nobody waits for it
// any more: its client has gone, or the server stops. Work that can take long
// (a query) registers what stops it, sqlite3_interrupt or a PostgreSQL cancel
// request, for as long as it runs; Cancel() calls that at once, from
// whichever thread sees the client go. Work not yet started asks Cancelled()
// and is dropped unrun.
#pragma once

#include <functional>
#include <mutex>

namespace zel {

class CancelSignal {
public:
    // Any thread, any number of times: the first call runs the registered stop.
    void Cancel();
    bool Cancelled() const;

    // Keeps a stop registered until it is destroyed; the stop never runs
    // after that.
    class Registration {
    public:
        explicit Registration(CancelSignal* signal) : signal_(signal) {}
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

    private:
        CancelSignal* signal_;
    };

    // Registers stop (one at a time); runs it at once when already cancelled.
    [[nodiscard]] Registration OnCancel(std::function<void()> stop);

private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    std::function<void()> stop_;
};

}  // namespace zel
