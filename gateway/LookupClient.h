// LookupClient: every BuscaPrecio of the gateway, sent from the Qt event loop
// of this thread through libcurl's multi interface: no thread of its own.
// HTTP and HTTPS, host names and IPv6, one address or a list of them.
//
// - At most `connections` lookups at once, each within `limit`; more wait in
//   their order of arrival. Connections are kept alive and shared by all.
// - A lookup is sent once. It goes out again only on a kept-alive connection
//   found closed before any byte of its answer came, or to the next address
//   after one that refused it or closed a new connection unanswered, or gave
//   no connection in time. An error answer or a time limit fails it.
// - Warm(): connections are opened before the terminals come (as many as
//   lookups may run at once, unless tuned), each with the class check, and
//   opened again when the server closes them; it says when they are open.
// - After `idleCheck` without a lookup, and again each `idleCheck` while
//   idle, every address gets the class check. A change of the server's state
//   (answers / does not) is one line on stderr; an address that could not be
//   reached is asked last until it answers again.
//
// Loop thread only. Destroying it drops the lookups in flight: nothing is
// answered after that.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gateway/ServerHealth.h"
#include "gateway/TerminalSession.h"
#include "net/Readiness.h"
#include "server/HttpExchange.h"

class QObject;
class QTimer;
typedef void CURLM;

namespace zel {

class LookupClient {
public:
    using Done = std::function<void(std::uint64_t ticket, LookupAnswer answer)>;

    struct Tuning {
        std::chrono::milliseconds IdleCheck{30000};
        // Connections kept open for the next scans; 0: `connections`, so
        // that a burst of as many terminals finds them all open.
        int WarmConnections = 0;
    };

    LookupClient(std::vector<ServerLocation> locations, ClientCredentials credentials,
                 std::chrono::milliseconds limit, int connections, Done done, Tuning tuning);
    ~LookupClient();
    LookupClient(const LookupClient&) = delete;
    LookupClient& operator=(const LookupClient&) = delete;

    // `warmed` is called once, when every connection it opens has answered
    // its check or failed.
    void Warm(std::function<void()> warmed);
    void Submit(std::uint64_t ticket, LookupRequest request);

    // Lookups sent and not answered yet; those waiting their turn apart.
    std::size_t InFlight() const { return lookups_; }
    std::size_t Waiting() const { return queue_.size(); }
    const ServerHealth& Health() const { return health_.Health(); }
    // When the prices of the last answered lookup were as of, as a store's
    // server on a replicated catalogue says; empty: current.
    const std::string& PricesAsOf() const { return pricesAsOf_; }

private:
    struct Transfer;
    struct Watches {
        ReadinessWatch In;
        ReadinessWatch Out;
        bool CurlIn = false;     // libcurl waits for it; otherwise an idle connection
        bool Connected = false;  // libcurl has waited to read it: no connect that may fail
        bool Own = false;        // opened for libcurl, not closed yet
        bool Gone = false;       // the server closed it while idle
    };
    struct Queued {
        std::uint64_t Ticket;
        LookupRequest Request;
    };

    struct Callbacks;  // libcurl's, in its own types

    void Watch(int fd, int what);
    void Readable(int fd);
    void Opened(int fd);
    void Closed(int fd);

    void StartLookup(std::uint64_t ticket, const LookupRequest& request);
    void StartCheck(std::vector<std::size_t> order, bool fresh);
    void Start(std::unique_ptr<Transfer> transfer);
    void Act(int fd, int events);
    void Reap();
    void Finish(std::unique_ptr<Transfer> transfer, int code);
    void IdleClosed(Watches& w, int fd);
    void Rewarm();
    void IdleTick();
    void Journal(std::size_t address);
    std::unique_ptr<Transfer> NewTransfer();
    std::size_t WarmWanted() const;

    std::vector<ServerLocation> locations_;
    ClientCredentials credentials_;
    std::chrono::milliseconds limit_;
    std::size_t connections_;
    Done done_;
    Tuning tuning_;
    AddressHealth health_;
    std::string pricesAsOf_;
    std::string classPath_;

    CURLM* multi_ = nullptr;
    std::unique_ptr<QObject> context_;  // parents the timers; posted calls die with it
    QTimer* curlTimer_ = nullptr;
    QTimer* idleTimer_ = nullptr;
    QTimer* rewarmTimer_ = nullptr;
    std::unordered_map<int, Watches> sockets_;
    std::unordered_map<void*, std::unique_ptr<Transfer>> active_;
    std::vector<std::unique_ptr<Transfer>> spare_;
    std::deque<Queued> queue_;
    std::size_t lookups_ = 0;
    std::size_t warming_ = 0;  // checks in flight that open a connection of their own
    std::function<void()> warmed_;
    std::size_t checks_ = 0;
    std::chrono::steady_clock::time_point lastActivity_;
    std::chrono::steady_clock::time_point lastRewarm_{};
    bool announcedDown_ = false;
};

}  // namespace zel
