// LoopLookups: BuscaPrecio on the event loop itself, with no hand-over to a
// thread and back, over kept-alive connections to a single plain-HTTP server
// named by its numeric address.
//
// A lookup is sent at once on an idle connection of its own. When none is
// idle, when the most lookups are in flight, and whenever something unusual
// happens (a connection that closes, an answer that is not a plain success),
// the lookup goes to the LookupPool, whose full client connects, turns to
// other addresses and words every failure; every call is read-only, so one
// sent again changes nothing. Only an answer that does not come within the
// lookup's limit fails here, in the client's words.
//
// Loop thread only. Destroying it closes its connections; nothing is
// answered after that.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "gateway/LookupPool.h"
#include "gateway/TerminalSession.h"
#include "server/HttpData_Srv_Zel.h"

namespace zel {

class LoopLookups {
public:
    using Done = std::function<void(std::uint64_t ticket, LookupAnswer answer)>;

    // Null when the server cannot be reached this way (HTTPS, a host name to
    // resolve, several addresses): the pool then does every lookup.
    static std::unique_ptr<LoopLookups> For(const std::vector<ServerLocation>& locations,
                                            ClientCredentials credentials,
                                            std::chrono::milliseconds limit, int connections,
                                            LookupPool& pool, Done done);
    ~LoopLookups();
    LoopLookups(const LoopLookups&) = delete;
    LoopLookups& operator=(const LoopLookups&) = delete;

    void Submit(std::uint64_t ticket, LookupRequest request);

    struct Link;

private:
    LoopLookups(ServerLocation location, ClientCredentials credentials,
                std::chrono::milliseconds limit, int connections, LookupPool& pool, Done done);
    void Open();
    void Connected(Link& link);
    void Readable(Link& link);
    void Expired(Link& link);
    // Forgets the link; its lookup, if any, goes to the pool.
    void Drop(Link& link, bool toPool);
    bool Send(Link& link, std::uint64_t ticket, LookupRequest& request);

    ServerLocation location_;
    ClientCredentials credentials_;
    std::chrono::milliseconds limit_;
    std::size_t connections_;
    LookupPool& pool_;
    Done done_;
    std::vector<std::unique_ptr<Link>> links_;
    std::chrono::steady_clock::time_point retryAt_{};  // after a failed connect
};

}  // namespace zel
