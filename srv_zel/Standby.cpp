#include "srv_zel/Standby.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "srv_zel/CatalogueStore.h"
#include "srv_zel/PgCatalogue.h"
#include "srv_zel/Postgres.h"
#include "srv_zel/ReplicaWatch.h"

namespace zel {

namespace {

using Clock = std::chrono::system_clock;

bool IsTrue(const PgResult& r, int col) {
    return !r.IsNull(0, col) && (r.Value(0, col) == "t" || r.Value(0, col) == "on");
}

std::optional<double> NumberAt(const PgResult& r, int col) {
    return r.IsNull(0, col) ? std::nullopt : PgNumber(r.Value(0, col));
}

bool InRecovery(PgConnection& conn) {
    return IsTrue(conn.Exec("SELECT pg_is_in_recovery()"), 0);
}

// What a read-only catalogue needs, each with its check; the checks that
// name a table or the role run only once those exist.
constexpr const char* CATALOGUE_CHECK = R"sql(
WITH t AS (
  SELECT to_regclass('articulos') AS a, to_regclass('impuestos') AS i,
         EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'srv_zel_query') AS r)
SELECT a IS NOT NULL, i IS NOT NULL, r,
       a IS NULL OR i IS NULL OR (has_table_privilege(current_user, a, 'SELECT')
                                  AND has_table_privilege(current_user, i, 'SELECT')),
       NOT r OR pg_has_role(current_user, 'srv_zel_query', 'MEMBER'),
       NOT r OR a IS NULL OR i IS NULL OR (has_table_privilege('srv_zel_query', a, 'SELECT')
                                           AND has_table_privilege('srv_zel_query', i, 'SELECT')),
       current_user
FROM t
)sql";

// One round trip: in recovery; the WAL receiver running and streaming (its
// status is hidden from users without pg_read_all_stats, who still see that
// it runs); everything received replayed; the last replayed commit and the
// database's clock, in seconds since the epoch.
constexpr const char* REPLICATION_STATE = R"sql(
SELECT pg_is_in_recovery(),
       EXISTS (SELECT 1 FROM pg_stat_wal_receiver WHERE status IS NULL OR status = 'streaming'),
       coalesce(pg_last_wal_receive_lsn() <= pg_last_wal_replay_lsn(), false),
       extract(epoch FROM pg_last_xact_replay_timestamp()),
       extract(epoch FROM now())
)sql";

// Polls the standby on a thread and connection of its own (reconnecting
// when the connection is lost); the follower decides what the samples mean.
class PgReplicaWatch final : public ReplicaWatch {
public:
    PgReplicaWatch(PgConnection conn, std::function<void(const std::string&)> log,
                   std::chrono::milliseconds interval, std::string db)
        : db_(std::move(db)), log_(std::move(log)), interval_(interval) {
        std::optional<PgConnection> first(std::move(conn));
        Poll(first);
        thread_ = std::thread([this, c = std::move(first)]() mutable { Loop(std::move(c)); });
    }

    ~PgReplicaWatch() override {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    bool Streaming() const override {
        const std::lock_guard lock(mutex_);
        return follower_.Streaming();
    }

    std::optional<Clock::time_point> AsOf() const override {
        const std::lock_guard lock(mutex_);
        return follower_.AsOf(Clock::now());
    }

private:
    void Loop(std::optional<PgConnection> conn) {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, interval_, [this] { return stop_; })) {
            lock.unlock();
            Poll(conn);
            lock.lock();
        }
    }

    void Poll(std::optional<PgConnection>& conn) {
        try {
            if (!conn || !conn->Healthy()) {
                conn.reset();
                conn.emplace(db_);
            }
            const PgResult r = conn->Exec(REPLICATION_STATE);
            const auto commit = NumberAt(r, 3);
            const auto dbNow = NumberAt(r, 4);
            Take({IsTrue(r, 0), IsTrue(r, 1), IsTrue(r, 2),
                  commit && dbNow ? std::optional(*dbNow - *commit) : std::nullopt});
            unreachable_ = false;
        } catch (const std::exception& e) {
            if (!unreachable_) {
                log_(std::string("cannot read the standby's replication state: ") + e.what());
            }
            unreachable_ = true;
            Take({});
        }
    }

    void Take(const ReplicaSample& sample) {
        std::vector<std::string> lines;
        {
            const std::lock_guard lock(mutex_);
            lines = follower_.Take(sample, Clock::now());
        }
        for (const auto& line : lines) {
            log_(line);
        }
    }

    const std::string db_;
    const std::function<void(const std::string&)> log_;
    const std::chrono::milliseconds interval_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    ReplicaFollower follower_;
    bool unreachable_ = false;  // the poll's own thread only
    std::thread thread_;
};

}  // namespace

bool IsReadOnlyDatabase(PgConnection& conn) {
    const PgResult r =
        conn.Exec("SELECT pg_is_in_recovery(), current_setting('transaction_read_only')::boolean");
    return IsTrue(r, 0) || IsTrue(r, 1);
}

void CheckReadOnlyCatalogue(PgConnection& conn) {
    const PgResult r = conn.Exec(CATALOGUE_CHECK);
    const std::string user(r.Value(0, 6));
    const std::string missing[] = {
        "table Articulos",
        "table Impuestos",
        std::string("role ") + QUERY_ROLE,
        "SELECT on Articulos and Impuestos for user " + user,
        "membership of user " + user + " in role " + QUERY_ROLE,
        std::string("SELECT on Articulos and Impuestos for role ") + QUERY_ROLE,
    };
    std::string lacks;
    for (int col = 0; col < 6; ++col) {
        if (!IsTrue(r, col)) {
            lacks += (lacks.empty() ? "" : ", ") + missing[col];
        }
    }
    if (!lacks.empty()) {
        throw StoreError(conn.Name() + " is read-only (" +
                         (InRecovery(conn) ? "a standby" : "transaction_read_only") +
                         "), where srv_zel creates nothing, and lacks: " + lacks +
                         ". Create them at the head office (srv_zel import or init-demo there "
                         "creates the tables and the role) and let them replicate");
    }
}

void RefuseWritingToReadOnly(PgConnection& conn) {
    if (!InRecovery(conn)) {
        throw StoreError(conn.Name() +
                         " is read-only (transaction_read_only): nothing was written. Write to "
                         "the head office's primary database");
    }
    std::string primary;
    const PgResult r = conn.Exec(
        "SELECT sender_host, sender_port FROM pg_stat_wal_receiver WHERE sender_host IS NOT "
        "NULL");
    if (r.Rows() == 1) {
        primary =
            " (host " + std::string(r.Value(0, 0)) + ", port " + std::string(r.Value(0, 1)) + ")";
    }
    throw StoreError(conn.Name() +
                     " is a read-only standby: nothing was written. Import at the head office, "
                     "into the primary database it replicates from" +
                     primary);
}

std::unique_ptr<ReplicaWatch> WatchStandby(const std::string& db,
                                           std::function<void(const std::string&)> log,
                                           std::chrono::milliseconds interval) {
    if (!IsPostgresUri(db)) {
        return nullptr;
    }
    PgConnection conn(db);
    if (!InRecovery(conn)) {
        return nullptr;
    }
    log("the database is a standby: answering from the catalogue replicated from the head "
        "office, creating nothing");
    return std::make_unique<PgReplicaWatch>(std::move(conn), std::move(log), interval, db);
}

}  // namespace zel
