#include "net/Readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QtGlobal>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "net/ApplicationException.h"

namespace zel {
namespace {

// Readiness dispatches in progress on this thread. The set's notifier,
// destroyed while one runs, is the very one emitting: it is silenced now and
// deleted once control is back in the loop.
thread_local int dispatchDepth = 0;

struct DepthGuard {
    DepthGuard() { ++dispatchDepth; }
    ~DepthGuard() { --dispatchDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// The events that call a watch of each kind, as Qt's own notifiers are
// called: an error or a hang-up wakes a reader, an error a writer.
constexpr std::uint32_t READ_EVENTS = EPOLLIN | EPOLLHUP | EPOLLERR;
constexpr std::uint32_t WRITE_EVENTS = EPOLLOUT | EPOLLERR;
// Readiness reported per pass of the loop; more wait for the next pass.
constexpr int EVENTS_PER_PASS = 256;

}  // namespace

// One watch: what its ReadinessWatch holds and its thread's set refers to.
struct ReadinessWatch::Slot {
    int Handle = -1;
    Kind Of = Kind::Read;
    bool Enabled = true;
    bool Missed = false;     // reported ready while off, not called since
    std::uint64_t Born = 0;  // the set's pass when it was made
    std::shared_ptr<const Callback> OnReady;
    ReadySet* Set = nullptr;
};

// The watched handles of one thread in one epoll set, which the Qt loop
// watches as a single socket: a pass of the loop costs the same with ten
// terminals as with a thousand. Turning a watch off costs no system call; the
// handle leaves the set when it next reports what nobody waits for.
class ReadySet {
public:
    using Slot = ReadinessWatch::Slot;

    static ReadySet& OfThisThread() {
        if (!current_) {
            current_ = new ReadySet();
        }
        return *current_;
    }

    void Add(const std::shared_ptr<Slot>& slot) {
        slot->Born = pass_;
        slot->Set = this;
        Entry& entry = entries_[slot->Handle];
        (slot->Of == ReadinessWatch::Kind::Read ? entry.In : entry.Out) = slot;
        ++slots_;
        try {
            Widen(slot->Handle, entry);
        } catch (...) {
            Remove(*slot);
            throw;
        }
    }

    void TurnedOn(Slot& slot) {
        if (const auto found = entries_.find(slot.Handle); found != entries_.end()) {
            Widen(slot.Handle, found->second);
        }
    }

    void Remove(Slot& slot) {
        slot.Enabled = false;
        const auto found = entries_.find(slot.Handle);
        if (found != entries_.end()) {
            Entry& entry = found->second;
            for (std::shared_ptr<Slot>* held : {&entry.In, &entry.Out}) {
                if (held->get() == &slot) {
                    held->reset();
                }
            }
            if (!entry.In && !entry.Out) {
                if (entry.Registered != 0) {
                    // The handle may be closed already, which took it out.
                    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, slot.Handle, nullptr);
                }
                entries_.erase(found);
            }
        }
        if (--slots_ == 0 && dispatching_ == 0) {
            Retire();
        }
    }

private:
    struct Entry {
        std::shared_ptr<Slot> In, Out;
        std::uint32_t Registered = 0;  // what the epoll set holds for it; 0: not in it
    };

    ReadySet() {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            throw std::system_error(errno, std::generic_category(), "epoll_create1");
        }
        notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { Dispatch(); });
    }

    ~ReadySet() {
        notifier_->setEnabled(false);
        QObject::disconnect(notifier_, nullptr, nullptr, nullptr);
        if (dispatchDepth > 0) {
            notifier_->deleteLater();
        } else {
            delete notifier_;
        }
        ::close(epoll_);
    }

    // Without watches the thread keeps no set.
    void Retire() {
        current_ = nullptr;
        delete this;
    }

    static std::uint32_t Wanted(const Entry& entry) {
        return (entry.In && entry.In->Enabled ? static_cast<std::uint32_t>(EPOLLIN) : 0u) |
               (entry.Out && entry.Out->Enabled ? static_cast<std::uint32_t>(EPOLLOUT) : 0u);
    }

    // A watch turned on: the set learns of it now.
    void Widen(int handle, Entry& entry) {
        const std::uint32_t wanted = Wanted(entry);
        if ((wanted & ~entry.Registered) == 0) {
            return;
        }
        Register(handle, entry, wanted | entry.Registered);
    }

    // What the handle reported that nobody waits for any more leaves the set.
    void Narrow(int handle, Entry& entry, std::uint32_t reported) {
        const std::uint32_t wanted = Wanted(entry);
        const bool unwanted = (reported & (EPOLLIN | EPOLLOUT) & ~wanted) != 0 ||
                              (wanted == 0 && (reported & (EPOLLHUP | EPOLLERR)) != 0);
        if (!unwanted) {
            return;
        }
        if (wanted == 0) {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, handle, nullptr);
            entry.Registered = 0;
        } else {
            Register(handle, entry, wanted);
        }
    }

    void Register(int handle, Entry& entry, std::uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.fd = handle;
        int done = ::epoll_ctl(epoll_, entry.Registered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD,
                               handle, &event);
        if (done != 0 && errno == EEXIST) {
            done = ::epoll_ctl(epoll_, EPOLL_CTL_MOD, handle, &event);
        } else if (done != 0 && errno == ENOENT) {
            done = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, handle, &event);
        }
        if (done != 0) {
            throw std::system_error(errno, std::generic_category(),
                                    "watching handle " + std::to_string(handle));
        }
        entry.Registered = events;
    }

    void Dispatch() {
        epoll_event events[EVENTS_PER_PASS];
        const int count = ::epoll_wait(epoll_, events, EVENTS_PER_PASS, 0);
        // Watches made from here on wait for the next pass: what this one
        // reports was of the handles before them.
        const std::uint64_t pass = ++pass_;
        // Deleting the set's own notifier from here waits for the loop.
        DepthGuard depth;
        ++dispatching_;
        for (int i = 0; i < count; ++i) {
            const int handle = events[i].data.fd;
            const std::uint32_t reported = events[i].events;
            // What a watch was called for is no longer news: one that turns
            // itself off from its call (a terminal whose lookup begins) stays
            // in the set until the handle reports again while it is off.
            std::uint32_t unheard = reported;
            for (const bool read : {true, false}) {
                const auto found = entries_.find(handle);
                if (found == entries_.end()) {
                    break;
                }
                const std::shared_ptr<Slot> slot = read ? found->second.In : found->second.Out;
                if (!slot || slot->Born >= pass ||
                    (reported & (read ? READ_EVENTS : WRITE_EVENTS)) == 0) {
                    continue;
                }
                if (!slot->Enabled) {
                    slot->Missed = true;
                    continue;
                }
                slot->Missed = false;
                unheard &= ~(read ? READ_EVENTS : WRITE_EVENTS);
                const std::shared_ptr<const ReadinessWatch::Callback> call = slot->OnReady;
                RunProtected([&] { (*call)(handle); });
            }
            if (const auto found = entries_.find(handle); found != entries_.end()) {
                RunProtected([&] { Narrow(handle, found->second, unheard); });
            }
        }
        if (--dispatching_ == 0 && slots_ == 0) {
            Retire();
        }
    }

    static thread_local ReadySet* current_;

    int epoll_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::unordered_map<int, Entry> entries_;
    std::uint64_t pass_ = 0;
    std::size_t slots_ = 0;
    int dispatching_ = 0;  // passes in progress: a callback may run a loop of its own
};

thread_local ReadySet* ReadySet::current_ = nullptr;

void HandleEscapedException() noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        HandleApplicationException(error);
    } catch (...) {
        HandleApplicationException(std::runtime_error("Unknown exception"));
    }
}

void UseQtLoop() {
    constexpr const char* NO_GLIB = "QT_NO_GLIB";
    if (qEnvironmentVariableIsEmpty(NO_GLIB)) {
        qputenv(NO_GLIB, "1");
    }
}

ReadinessWatch::ReadinessWatch(int handle, Kind kind, Callback onReady)
    : slot_(std::make_shared<Slot>()) {
    slot_->Handle = handle;
    slot_->Of = kind;
    // Shared so that the function outlives a watch destroyed during its call.
    slot_->OnReady = std::make_shared<const Callback>(std::move(onReady));
    ReadySet::OfThisThread().Add(slot_);
}

ReadinessWatch::~ReadinessWatch() {
    Reset();
}

ReadinessWatch::ReadinessWatch(ReadinessWatch&& other) noexcept : slot_(std::move(other.slot_)) {}

ReadinessWatch& ReadinessWatch::operator=(ReadinessWatch&& other) noexcept {
    if (this != &other) {
        Reset();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

void ReadinessWatch::SetEnabled(bool enabled) {
    if (!slot_ || slot_->Enabled == enabled) {
        return;
    }
    slot_->Enabled = enabled;
    if (enabled) {
        slot_->Set->TurnedOn(*slot_);
    }
}

bool ReadinessWatch::Enabled() const {
    return slot_ && slot_->Enabled;
}

bool ReadinessWatch::TakeMissed() {
    return slot_ && std::exchange(slot_->Missed, false);
}

void ReadinessWatch::Reset() noexcept {
    if (const std::shared_ptr<Slot> slot = std::move(slot_)) {
        slot->Set->Remove(*slot);
    }
}

}  // namespace zel
