// ConnectionPool: catalogue sessions shared by the worker threads. A lease
// holds one session (a connection with its prepared lookup) for one request
// and gives it back when it ends; sessions are opened on demand and kept for
// the next request, so there are never more than there are workers. A
// session whose connection was lost is dropped instead of given back.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "srv_zel/CatalogueStore.h"

namespace zel {

class ConnectionPool {
public:
    explicit ConnectionPool(CatalogueStore& store) : store_(store) {}

    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<CatalogueSession> session)
            : pool_(&pool), session_(std::move(session)) {}
        ~Lease();
        Lease(Lease&&) noexcept = default;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;

        CatalogueSession& Session() { return *session_; }

    private:
        ConnectionPool* pool_;
        std::unique_ptr<CatalogueSession> session_;
    };

    // Throws (naming the database) when a new session cannot be opened.
    Lease Acquire();
    // Tidies the sessions not leased (CatalogueSession::Tidy).
    void Tidy(std::chrono::steady_clock::time_point now);

private:
    void Return(std::unique_ptr<CatalogueSession> session);

    CatalogueStore& store_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<CatalogueSession>> idle_;
};

}  // namespace zel
