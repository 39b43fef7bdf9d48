// LookupPool: BuscaPrecio off the event loop. A few worker threads take
// lookups in the order they were asked for, at most `workers` in flight at
// once; each lookup has a server object (a kept-alive connection) to itself,
// the most recently used idle one, or a new one when all are in use.
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

    // `first`, when given, is the first server object; more are made by
    // `factory` when a lookup finds none idle (a failed creation fails that
    // lookup only).
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
