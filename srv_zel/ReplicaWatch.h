// ReplicaWatch: how srv_zel follows the replication of a catalogue served
// from a standby: whether the WAL receiver is streaming from the head office,
// and how old the catalogue is (the lag in /metrics, the Catalogue-As-Of
// header of lookups).
#pragma once

#include "common/ServerNames.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel {

// The header of a lookup's answer that carries FormatUtc(AsOf()).

// What the watch knows of the replication.
class ReplicaWatch {
public:
    virtual ~ReplicaWatch() = default;
    // Whether the WAL receiver streams from the head office right now.
    virtual bool Streaming() const = 0;
    // The last moment the catalogue was known to equal the head office's:
    // now while streaming and caught up, else the last replayed commit or
    // the last moment seen caught up, whichever is later; nullopt until
    // known.
    virtual std::optional<std::chrono::system_clock::time_point> AsOf() const = 0;
};

// One look at a standby's replication.
struct ReplicaSample {
    bool InRecovery = true;  // false: promoted, a primary now
    bool Streaming = false;  // the WAL receiver streams from the head office
    bool CaughtUp = false;   // everything received is replayed
    // How long before the database's now its last replayed commit was.
    std::optional<double> CommitSecondsAgo;
};

// What the samples tell, one after the other: whether the standby streams,
// how old its catalogue is, and the log lines due (one when streaming
// stops, one when it resumes, one on promotion). Pure: the caller polls and
// keeps it under its own lock.
class ReplicaFollower {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    // Takes a sample taken at `now`; returns the lines to log.
    std::vector<std::string> Take(const ReplicaSample& sample, TimePoint now);
    bool Streaming() const { return streaming_; }
    // `now` while streaming and caught up (or promoted); otherwise the last
    // moment known to be caught up or the last replayed commit, whichever is
    // later; nullopt until known.
    std::optional<TimePoint> AsOf(TimePoint now) const;

private:
    bool streaming_ = false;
    bool current_ = false;
    bool promoted_ = false;
    std::optional<bool> reported_;  // the streaming state last logged
    std::optional<TimePoint> asOf_;
};

// Seconds from `asOf` to `now`; NaN when not known.
double LagSeconds(std::optional<std::chrono::system_clock::time_point> asOf,
                  std::chrono::system_clock::time_point now);

// "2024-05-01T12:00:00Z": how the age of the catalogue is written.
std::string FormatUtc(std::chrono::system_clock::time_point when);

// Watches the database `db` when it is a PostgreSQL standby, polling it
// every `interval` on a thread and connection of its own, and writes one
// line through `log` when streaming stops and one when it resumes. Null for
// any other database.
std::unique_ptr<ReplicaWatch> WatchStandby(const std::string& db,
                                           std::function<void(const std::string&)> log,
                                           std::chrono::milliseconds interval);

}  // namespace zel
