// A PostgreSQL server of the test's own, as a chain runs them: a head
// office's primary made by initdb, or a store's hot standby of it made by
// pg_basebackup -R. Each lives in a temporary folder and is reached through
// a Unix socket there (no TCP port to race for); its programs run as the
// postgres user when the test runs as root. Stopped and removed when the
// object goes.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zel::e2e {

class PgCluster {
public:
    // Whether PostgreSQL's server programs are installed.
    static bool Available();

    // A primary (wal_level=replica, room for standbys), started.
    static std::unique_ptr<PgCluster> Primary();
    // A hot standby streaming from `primary`, started; returns once it
    // answers queries.
    static std::unique_ptr<PgCluster> StandbyOf(const PgCluster& primary);

    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // postgresql://postgres@/postgres?host=FOLDER
    std::string Uri() const;
    // A fast shutdown, as when the head office goes down; returns once it
    // has stopped.
    void Stop();
    // Started again on the same folder; returns once it accepts connections.
    void Start();

private:
    PgCluster();
    // Runs a PostgreSQL program (as postgres when root) to its end; throws
    // with its output when it fails.
    void Run(const std::string& program, std::vector<std::string> arguments) const;

    std::filesystem::path folder_;
};

}  // namespace zel::e2e
