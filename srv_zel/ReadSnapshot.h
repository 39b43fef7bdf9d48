// ReadSnapshot: one read transaction kept open across the lookups of a
// read-only SQLite connection for at most MAX_AGE, so that a run of lookups
// begins and ends one transaction instead of one each (each begin and end
// takes the WAL's shared locks, which the I/O threads would contend for).
// A lookup therefore sees the catalogue as it was at most MAX_AGE ago; an
// idle connection lets go of its snapshot when told (EndIfOlder), so that
// imports can reset the WAL.
#pragma once

#include <chrono>
#include <optional>

#include "srv_zel/Sqlite.h"

namespace zel {

class ReadSnapshot {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto MAX_AGE = std::chrono::milliseconds(1);

    // db: a connection opened with OpenCatalogueReadOnly, outliving this.
    explicit ReadSnapshot(Database& db);
    ~ReadSnapshot();
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;

    // Before a lookup: keeps a snapshot younger than MAX_AGE, else begins a
    // new one. Throws SqliteError when BEGIN fails.
    void Enter(Clock::time_point now);
    // Ends the snapshot if it began MAX_AGE or more before now.
    void EndIfOlder(Clock::time_point now) noexcept;
    // Ends the snapshot, if any: what runs next sees the latest catalogue.
    void End() noexcept;

private:
    void Run(const char* sql);

    Database& db_;
    bool ownTurn_ = false;  // read by the connection's authorizer
    std::optional<Clock::time_point> since_;
};

}  // namespace zel
