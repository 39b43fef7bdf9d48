// LookupClient: every BuscaPrecio of the gateway, sent from the Qt event loop
// of this thread (CurlMulti) on the gateway's server object, whose rules it
// follows: the address order, the class check, what a failure says.
//
// - At most `connections` lookups at once, each within `limit`; more wait in
//   their order of arrival. Connections are kept alive and shared by all.
// - A lookup is sent once. It goes out again only on a kept-alive connection
//   found closed before any byte of its answer came, or to the next address
//   after one that refused it or closed a new connection unanswered, or gave
//   no connection in time. An error answer or a time limit fails it.
// - Warm(): connections are opened before the terminals come (as many as
//   lookups may run at once, unless tuned), each by a class check; it says
//   when they have answered. When the server closes one that is kept, as many
//   class checks run again, which keeps the connections open or opens new ones.
// - After `idleCheck` without a lookup, and again each `idleCheck` while
//   idle, every address gets the class check. A change of the server's state
//   (answers / does not) is one line on stderr.
//
// Loop thread only; the server object outlives it. Destroying it drops the
// lookups in flight: nothing is answered after that.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gateway/CurlMulti.h"
#include "gateway/TerminalSession.h"
#include "server/IData_Srv_Zel.h"

class QObject;
class QTimer;

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

    LookupClient(IData_Srv_Zel& server, std::chrono::milliseconds limit, int connections, Done done,
                 Tuning tuning);
    ~LookupClient();
    LookupClient(const LookupClient&) = delete;
    LookupClient& operator=(const LookupClient&) = delete;

    // `warmed` is called once, when every connection it opens has answered
    // its check or failed.
    void Warm(std::function<void()> warmed);
    void Submit(std::uint64_t ticket, LookupRequest request);

    const ServerHealth& Health() const { return server_.Health(); }
    // When the prices of the last answered lookup were as of, as a store's
    // server on a replicated catalogue says; empty: current.
    const std::string& PricesAsOf() const { return pricesAsOf_; }

private:
    using Operation = IData_Srv_Zel::Operation;
    struct Transfer {
        HttpExchange Exchange;
        bool Check = false;
        bool Warming = false;  // one of the checks Warm or a re-warming started
        std::uint64_t Ticket = 0;
        std::string Body;
        std::vector<std::size_t> Order;  // the addresses to try
        std::size_t Turn = 0;
    };
    struct Queued {
        std::uint64_t Ticket;
        LookupRequest Request;
    };

    void StartLookup(std::uint64_t ticket, const LookupRequest& request);
    void StartCheck(std::vector<std::size_t> order, bool warming);
    void Start(std::unique_ptr<Transfer> transfer);
    void Finished(CURL* handle, int code);
    LookupAnswer AnswerOf(const Transfer& transfer, const IData_Srv_Zel::Verdict& verdict);
    void IdleClosed();
    void Rewarm();
    void IdleTick();
    void Journal(std::size_t address);
    std::unique_ptr<Transfer> NewTransfer();
    std::size_t WarmWanted() const;

    IData_Srv_Zel& server_;
    std::chrono::milliseconds limit_;
    std::size_t connections_;
    Done done_;
    Tuning tuning_;
    std::string pricesAsOf_;

    std::unique_ptr<QObject> context_;  // parents the timers; posted calls die with it
    QTimer* idleTimer_ = nullptr;
    QTimer* rewarmTimer_ = nullptr;
    std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;
    std::vector<std::unique_ptr<Transfer>> spare_;
    std::deque<Queued> queue_;
    std::size_t lookups_ = 0;  // on a connection, for the admission; not the gateway's figure
    std::size_t checks_ = 0;
    std::size_t warming_ = 0;  // checks in flight that Warm or a re-warming started
    std::function<void()> warmed_;
    std::chrono::steady_clock::time_point lastActivity_;
    std::chrono::steady_clock::time_point lastRewarm_{};
    bool announcedDown_ = false;
    CurlMulti multi_;  // last: its end drops the transfers before they go
};

}  // namespace zel
