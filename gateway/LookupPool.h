// LookupPool: BuscaPrecio off the event loop. A few worker threads, each with
// a server object of its own (its own kept-alive connection), take lookups in
// the order they were asked for; at most `workers` are in flight at once.
//
// A worker knows nothing of terminals: it gets a ticket and a request and
// hands back the ticket and the answer through `done`, on its own thread;
// the owner carries the answer to its loop. Stop() ends it: calls in flight
// are broken off, and once it returns `done` is never called again, even by
// a worker still stuck in a connect (it is left to end on its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "gateway/TerminalSession.h"
#include "server/IData_Srv_Zel.h"

namespace zel {

class LookupPool {
public:
    using ServerFactory = std::function<std::shared_ptr<IData_Srv_Zel>()>;
    using Done = std::function<void(std::uint64_t ticket, LookupAnswer answer)>;

    // `first`, when given, is the first worker's server object; the others
    // are made by `factory` on their first lookup (and again after a failed
    // creation).
    LookupPool(int workers, ServerFactory factory, Done done,
               std::shared_ptr<IData_Srv_Zel> first = nullptr);
    ~LookupPool();  // Stop()
    LookupPool(const LookupPool&) = delete;
    LookupPool& operator=(const LookupPool&) = delete;

    void Submit(std::uint64_t ticket, LookupRequest request);
    void Stop();

    // Lookups submitted and not yet answered, queued ones included.
    std::size_t Pending() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// One BuscaPrecio call with the arguments the gateway passes: the answer, or
// the failure's cause.
LookupAnswer RunLookup(IData_Srv_Zel& server, const LookupRequest& request);

}  // namespace zel
