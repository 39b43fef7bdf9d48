// Readiness of one socket handle as events of the Qt event loop.
//
// A `ReadinessWatch` watches one handle (read or write) and calls its function
// with the handle each time the loop reports the handle ready. Every call is
// one dispatch: an exception that leaves it goes to the application's
// exception handler and the loop goes on with its next event. Destroying a
// watch stops its calls at once, even from inside its own call. A watch made
// during a pass of the loop is first called in the next.
//
// The watches of a thread share one epoll set, which the Qt loop watches as a
// single socket: a pass costs the same whether ten terminals are connected or
// a thousand. Loop thread only.
//
// `RunProtected` gives the same protection to the listener's posted work.
// `UseQtLoop`, called before the application object, makes the loop Qt's own.
#pragma once

#include <functional>
#include <memory>

namespace zel {

class ReadySet;

// The terminals, the lookups and the endpoint run on Qt's own loop, not
// GLib's: GLib wakes its poll through a pipe each time a socket is watched or
// let go, a few times per scan. Before the application object; an explicit
// QT_NO_GLIB is left as it is.
void UseQtLoop();

class ReadinessWatch {
public:
    enum class Kind { Read, Write };
    using Callback = std::function<void(int handle)>;

    ReadinessWatch() = default;
    ReadinessWatch(int handle, Kind kind, Callback onReady);  // enabled from the start
    ~ReadinessWatch();
    ReadinessWatch(ReadinessWatch&&) noexcept;
    ReadinessWatch& operator=(ReadinessWatch&&) noexcept;

    void SetEnabled(bool enabled);
    bool Enabled() const;
    // Whether the loop found the handle ready while the watch was off (and
    // has not called it since); asking forgets it. What became ready just
    // before the watch is turned on again may not be known yet: the loop
    // reports it on its next pass.
    bool TakeMissed();
    bool Watching() const { return slot_ != nullptr; }
    void Reset() noexcept;

private:
    friend class ReadySet;
    struct Slot;
    std::shared_ptr<Slot> slot_;
};

// Hands the exception being handled to the application's exception handler.
void HandleEscapedException() noexcept;

// Runs `work`; an exception that leaves it goes to the application's
// exception handler.
template <typename Work>
void RunProtected(Work&& work) noexcept {
    try {
        work();
    } catch (...) {
        HandleEscapedException();
    }
}

}  // namespace zel
