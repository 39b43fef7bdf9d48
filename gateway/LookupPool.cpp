#include "gateway/LookupPool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace zel {

namespace {

// How long Stop() waits for the workers to see the stop before it leaves
// those still blocked (in a connect that cannot be broken off) to themselves.
constexpr std::chrono::milliseconds STOP_WAIT{300};

}  // namespace

struct LookupPool::Shared {
    struct Job {
        std::uint64_t Ticket;
        LookupRequest Request;
    };

    ServerFactory Factory;
    Done Finished;
    mutable std::mutex Lock;
    std::condition_variable Wake;
    std::condition_variable Exited;
    std::deque<Job> Queue;
    // Server objects not in use, the most recently used last: a lookup takes
    // a connection that is open already before a new one is made.
    std::vector<std::shared_ptr<IData_Srv_Zel>> Idle;
    std::vector<std::shared_ptr<IData_Srv_Zel>> All;  // to break calls off at Stop()
    std::size_t Running = 0;                          // workers whose thread has not ended
    std::size_t Busy = 0;                             // jobs taken and not answered
    bool Stopping = false;

    void Work() {
        std::unique_lock lock(Lock);
        for (;;) {
            Wake.wait(lock, [&] { return Stopping || !Queue.empty(); });
            if (Stopping) {
                break;
            }
            Job job = std::move(Queue.front());
            Queue.pop_front();
            ++Busy;
            std::shared_ptr<IData_Srv_Zel> server;
            if (!Idle.empty()) {
                server = std::move(Idle.back());
                Idle.pop_back();
            }
            lock.unlock();
            LookupAnswer answer = LookupFailure{};
            try {
                if (!server) {
                    server = Factory();
                    std::lock_guard guard(Lock);
                    All.push_back(server);
                }
                answer = RunLookup(*server, job.Request);
            } catch (const ServerError& error) {
                // The object could not be made: the next lookup tries again.
                answer = LookupFailure{error.what()};
            } catch (const std::exception& error) {
                // Not a server failure: a fault of ours, reported with the scan.
                answer = LookupFailure{std::string("lookup: ") + error.what()};
            }
            lock.lock();
            if (server) {
                Idle.push_back(std::move(server));
            }
            --Busy;
            if (Stopping) {
                break;
            }
            Finished(job.Ticket, std::move(answer));
        }
        --Running;
        Exited.notify_all();
    }
};

LookupPool::LookupPool(int workers, ServerFactory factory, Done done,
                       std::shared_ptr<IData_Srv_Zel> first)
    : shared_(std::make_shared<Shared>()) {
    shared_->Factory = std::move(factory);
    shared_->Finished = std::move(done);
    const std::size_t count = workers < 1 ? 1 : static_cast<std::size_t>(workers);
    if (first) {
        shared_->All.push_back(first);
        shared_->Idle.push_back(std::move(first));
    }
    shared_->Running = count;
    for (std::size_t i = 0; i < count; ++i) {
        // Each thread holds the shared state, so one left blocked at Stop()
        // outlives the pool safely.
        std::thread([shared = shared_] { shared->Work(); }).detach();
    }
}

LookupPool::~LookupPool() {
    Stop();
}

void LookupPool::Submit(std::uint64_t ticket, LookupRequest request) {
    {
        std::lock_guard lock(shared_->Lock);
        if (shared_->Stopping) {
            return;
        }
        shared_->Queue.push_back({ticket, std::move(request)});
    }
    shared_->Wake.notify_one();
}

void LookupPool::Stop() {
    std::vector<std::shared_ptr<IData_Srv_Zel>> servers;
    {
        std::lock_guard lock(shared_->Lock);
        if (shared_->Stopping) {
            return;
        }
        shared_->Stopping = true;
        shared_->Queue.clear();
        servers = shared_->All;
    }
    shared_->Wake.notify_all();
    for (const auto& server : servers) {
        if (server) {
            server->Hangup();
        }
    }
    std::unique_lock lock(shared_->Lock);
    shared_->Exited.wait_for(lock, STOP_WAIT, [&] { return shared_->Running == 0; });
}

std::size_t LookupPool::Pending() const {
    std::lock_guard lock(shared_->Lock);
    return shared_->Queue.size() + shared_->Busy;
}

LookupAnswer RunLookup(IData_Srv_Zel& server, const LookupRequest& request) {
    double Codigo = request.Codigo;
    double Precio = 0;
    std::u16string Descrip = request.Descrip;
    std::int8_t Ban_Imps = 0;
    std::int8_t Tiene_Ofer = 0;
    double ofer = 0;  // start, end and percentage of an offer: not used
    std::int16_t Imps_Act = 0;
    double Mult = 1.0;
    std::int32_t Bans_Art = 0;
    double Precio_Sug = 0;
    try {
        LookupOutcome outcome;
        outcome.Result =
            server.BuscaPrecio(Codigo, request.No_Precio, Precio, Descrip, Ban_Imps, Tiene_Ofer,
                               ofer, ofer, ofer, Imps_Act, Mult, Bans_Art, Precio_Sug);
        outcome.Precio = Precio;
        outcome.Descrip = std::move(Descrip);
        outcome.Ban_Imps = Ban_Imps;
        outcome.Imps_Act = Imps_Act;
        return outcome;
    } catch (const ServerError& error) {
        return LookupFailure{error.what()};
    }
}

}  // namespace zel
