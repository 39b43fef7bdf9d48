// AcceptBackoff: what a listener does when accept() finds no file handle or
// no memory for a connection that waits (EMFILE, ENFILE, ENOBUFS, ENOMEM).
// The listener stays readable then, and a loop that went on watching it
// would turn without end. Instead the owner stops watching it for PAUSE, or
// until it releases a connection, whichever comes first; and the
// connections waiting are refused at once rather than left in the queue: a
// spare handle kept for this is let go to accept each one, `farewell` is
// sent on it (an HTTP 503, say; nothing for the terminals) and it is closed.
// An episode, from the first failure to the next connection accepted, is one
// journal line (EpisodeNotice).
//
// Loop thread only. The watch is the owner's: it asks Pausing() when it
// decides whether to watch, and `resume` tells it the pause is over.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/EpisodeNotice.h"

class QTimer;

namespace zel {

class AcceptBackoff {
public:
    static constexpr std::chrono::milliseconds PAUSE{100};
    // Connections refused at most per failure, so that a flood of them
    // cannot hold the loop either.
    static constexpr int REFUSED_PER_PAUSE = 64;

    using Journal = std::function<void(const std::string& line)>;

    AcceptBackoff(std::string farewell, std::function<void()> resume);
    ~AcceptBackoff();
    AcceptBackoff(const AcceptBackoff&) = delete;
    AcceptBackoff& operator=(const AcceptBackoff&) = delete;

    // Whether errno `code` of accept() is a shortage of handles or memory.
    static bool IsShortage(int code);

    enum class Outcome {
        Other,     // no shortage: the caller goes on as it would
        RoomMade,  // the owner closed a connection of its own: accept again now
        Pausing,   // stop watching; those waiting have been refused
    };

    // accept() on `listener` failed with `code`; `port` names the listener
    // in the journal line ("Terminal port 6000"), `open` is the count of its
    // connections. For a shortage the journal hears of the episode; then
    // `makeRoom`, when given, may close one of the owner's connections for
    // the one waiting (it says whether it did); else the pause begins.
    Outcome Failed(int listener, int code, std::string_view port, std::size_t open,
                   const std::function<bool()>& makeRoom = {});
    // A connection was accepted: the episode is over.
    void Accepted();
    // A connection was closed: its handle is free, so the pause ends now.
    void Released();
    bool Pausing() const { return pausing_; }

    void SetJournal(Journal journal) { journal_ = std::move(journal); }

private:
    void Refuse(int listener);
    void Resume();

    std::string farewell_;
    std::function<void()> resume_;
    Journal journal_;
    std::unique_ptr<QTimer> timer_;
    EpisodeNotice episode_;
    int spare_ = -1;
    bool pausing_ = false;
};

}  // namespace zel
