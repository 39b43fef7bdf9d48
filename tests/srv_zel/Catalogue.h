// Test scaffolding: a fresh catalogue on either store (a SQLite file in a
// temporary folder, or a PostgreSQL database of its own in the cluster that
// $ZEL_TEST_PG names), srv_zel serving it in-process on a free loopback
// port, and certificates to serve it over HTTPS. The end-to-end tests use
// the catalogue and the certificates too.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HeldPort.h"
#include "TempDir.h"
#include "server/IData_Srv_Zel.h"
#include "server/WireFormat.h"
#include "srv_zel/Sqlite.h"
#include "srv_zel/SrvZelServer.h"

namespace zel::test {

// A CA, a second CA nobody trusts, and two server certificates signed by
// the first: srv.pem for 127.0.0.1, otro-nombre.pem for another name (each
// with its .key), made by openssl in a folder of their own.
class Certificates {
public:
    Certificates();
    bool Ok() const { return ok_; }
    std::string File(const std::string& name) const { return dir_.File(name); }

private:
    TempDir dir_;
    bool ok_ = false;
};

enum class Store { Sqlite, Postgres };
inline const Store BOTH_STORES[] = {Store::Sqlite, Store::Postgres};
std::string StoreName(const ::testing::TestParamInfo<Store>& info);

// An empty catalogue with its tables, removed at the end. Without a test
// cluster, a PostgreSQL one is not Available() and the test is skipped.
class TestCatalogue {
public:
    explicit TestCatalogue(Store store);
    ~TestCatalogue();
    TestCatalogue(const TestCatalogue&) = delete;
    TestCatalogue& operator=(const TestCatalogue&) = delete;
    bool Available() const { return !db_.empty(); }
    const std::string& Db() const { return db_; }
    const TempDir& Dir() const { return dir_; }

private:
    TempDir dir_;
    std::string admin_;  // the cluster's maintenance database
    std::string name_;
    std::string db_;
};

// A test run once per store.
class OnEachStore : public ::testing::TestWithParam<Store> {
protected:
    void SetUp() override {
        if (!catalogue_.Available()) {
            GTEST_SKIP() << "no PostgreSQL test cluster ($ZEL_TEST_PG is not set, or srv_zel "
                            "was built without libpq)";
        }
    }
    TestCatalogue catalogue_{GetParam()};
    const std::string& db_ = catalogue_.Db();
};

// One BuscaPrecio through the server object, as the gateway sends it
// (Mult 1.0), decoded whole. Throws ServerError as the object does.
BuscaPrecioCall LookUp(IData_Srv_Zel& object, double code, std::int8_t list = 0,
                       const std::string& descrip = "");
// The price BuscaPrecio gives for code on list 1.
double PriceOf(IData_Srv_Zel& object, double code = 7501);

// Runs SQL on the catalogue (created with its tables when missing).
void ExecSql(const std::string& db, const std::string& sql);

// Everything in the catalogue (rows, tables, columns, roles, grants), in one
// comparable text.
std::string Snapshot(const std::string& db);

class RunningServer {
public:
    explicit RunningServer(const std::string& db, QueryLimits limits = {},
                           const std::function<void(ServeOptions&)>& adjust = {});
    ~RunningServer();
    ServerAddress Address() const { return server_.Address(); }
    std::string AddressText() const { return Address().ToString(); }
    std::optional<ServerAddress> MetricsAddress() const { return server_.MetricsAddress(); }
    std::vector<std::string> LogLines();

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    SrvZelServer server_;
    std::thread thread_;
};

// A raw loopback client.
class Client {
public:
    explicit Client(const ServerAddress& to);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool Connected() const { return connected_; }
    bool Send(std::string_view bytes) const;
    // What comes until the server closes, or 10 s.
    std::string ReadAll() const;
    // Closing resets the connection (RST) instead of ending it.
    void ResetOnClose() const;

private:
    int fd_;
    bool connected_ = false;
};

// A query that runs until something stops it, on either store.
inline constexpr const char* ENDLESS_QUERY =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c";
// ENDLESS_QUERY as a whole AS_GetRecords request, to send on a raw Client.
std::string EndlessQueryRequest();

// Whether a log line holds text within 5 s (lines are written once the
// answer has gone).
bool LogHas(RunningServer& server, const std::string& text);

}  // namespace zel::test
