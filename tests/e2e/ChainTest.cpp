// A chain as docs/chain.md sets it up, every server real and on this
// machine: the head office's PostgreSQL primary, and two stores, each with
// its hot standby of it, a srv_zel on that standby and a gateway on that
// srv_zel. Prices imported at the head office reach the stores' terminals;
// with the head office out of reach the stores go on answering every scan.
#include <httplib.h>

#include <array>
#include <cstdlib>
#include <thread>

#include "GatewayFixture.h"
#include "PgCluster.h"

namespace zel::e2e {
namespace {

using namespace std::chrono_literals;

struct Store {
    TempDir Dir;
    std::unique_ptr<PgCluster> Standby;
    std::unique_ptr<SrvZel> Server;
    std::unique_ptr<Gateway> Gate;
    std::unique_ptr<Terminal> Term;
};

// One srv_zel command run to its end: its exit code and stderr.
std::pair<int, std::string> RunSrvZel(const TempDir& dir, std::vector<std::string> arguments) {
    ChildOptions options;
    options.Arguments = {ProgramPaths().SrvZel};
    options.Arguments.insert(options.Arguments.end(), arguments.begin(), arguments.end());
    options.StandardError = dir.File("srv_zel-command.log");
    ChildProcess child(options);
    const auto status = child.WaitExit(30s);
    return {status ? ExitCode(*status) : -1, ReadWholeFile(options.StandardError)};
}

// A new price on list 1 for the milk, imported at `db`.
void ImportMilkPrice(const TempDir& dir, const std::string& db, const std::string& price) {
    const std::string csv =
        dir.Write("precio.csv", "codigo,precio1\n" + std::string(kMilk) + "," + price + "\n");
    const auto [code, err] = RunSrvZel(dir, {"import", "--db", db, "--articles", csv});
    ASSERT_EQ(code, 0) << err;
}

// The value of an unlabelled metric of the srv_zel at `address`.
double Metric(const std::string& address, const std::string& name) {
    const auto colon = address.rfind(':');
    httplib::Client client(address.substr(0, colon), std::stoi(address.substr(colon + 1)));
    const auto result = client.Get("/metrics");
    if (!result || result->status != 200) {
        throw std::runtime_error("GET /metrics from " + address + " failed");
    }
    const auto at = result->body.find("\n" + name + " ");
    if (at == std::string::npos) {
        throw std::runtime_error("no " + name + " in\n" + result->body);
    }
    return std::atof(result->body.c_str() + at + name.size() + 2);
}

// Whether srv_zel's log holds `text` within 10 s.
bool LogSays(SrvZel& server, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
        if (ReadWholeFile(server.Process().StandardError()).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class Chain : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PgCluster::Available()) {
            GTEST_SKIP() << "PostgreSQL's server programs are not installed";
        }
        primary_ = PgCluster::Primary();
        ImportCatalogue(office_, primary_->Uri(), TestArticles(), TestTaxes());
        for (Store& s : stores_) {
            s.Standby = PgCluster::StandbyOf(*primary_);
            s.Server = std::make_unique<SrvZel>(
                s.Dir, s.Standby->Uri(), std::vector<std::string>{"--metrics", "127.0.0.1:0"});
            config_.ServerAddress = s.Server->Address();
            config_.Espera = 50;
            config_.Monitor = "127.0.0.1:0";
            s.Gate = std::make_unique<Gateway>(s.Dir, config_);
            s.Gate->WaitListening();
            s.Term = std::make_unique<Terminal>(s.Gate->Port(), config_.Tipo);
            EXPECT_EQ(s.Term->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config_));
        }
    }

    // Scans the milk at every store's terminal; whether all showed `money`.
    // A scan left unanswered fails the test (ExpectFrame throws): no scan is
    // lost at any step.
    bool EveryStoreShows(const std::string& money) {
        bool all = true;
        for (Store& s : stores_) {
            s.Term->Scan(kMilk);
            const Frame result = s.Term->ExpectFrame(kPrompt);
            EXPECT_EQ(s.Term->ExpectFrame(kPrompt).Bytes, ExpectedIdleFrame(config_));
            all = all && result.Bytes == ExpectedResultFrame(kMilkText, money, config_.Tipo);
        }
        return all;
    }

    // Scans until every store shows `money`; false when `limit` passed first.
    bool ReachesEveryStore(const std::string& money, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!EveryStoreShows(money)) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    TempDir office_;
    std::unique_ptr<PgCluster> primary_;
    std::array<Store, 2> stores_;
    GatewayConfig config_;
};

TEST_F(Chain, StoresFollowTheHeadOfficeAndGoOnAnsweringWhenItIsOutOfReach) {
    ASSERT_TRUE(EveryStoreShows("$89.50"));

    // A price imported at the head office reaches the terminals in seconds.
    ImportMilkPrice(office_, primary_->Uri(), "91.00");
    EXPECT_TRUE(ReachesEveryStore("$91.00", 5s)) << "not within 5 s";

    // A store's database takes no import, and says where to import.
    const auto [code, err] =
        RunSrvZel(office_, {"import", "--db", stores_[0].Standby->Uri(), "--articles",
                            office_.Write("x.csv", "codigo,precio1\n7501,1\n")});
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("is a read-only standby: nothing was written. Import at the head office"),
              std::string::npos)
        << err;

    // Each lookup tells how old the store's prices are.
    const std::string server = stores_[0].Server->Address();
    httplib::Client client(server.substr(0, server.rfind(':')),
                           std::stoi(server.substr(server.rfind(':') + 1)));
    const auto lookup = client.Post(
        "/v1/BuscaPrecio", R"({"Codigo": 7501.0, "No_Precio": 0, "Descrip": "", "Mult": 1.0})",
        "application/json");
    ASSERT_TRUE(lookup);
    EXPECT_EQ(lookup->get_header_value("Catalogue-As-Of").size(), 20u);

    // Caught up with an idle head office, the prices are current however
    // long ago the last import was.
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(Metric(stores_[0].Server->MetricsAddress(), "srv_zel_replication_lag_seconds"), 0.5);

    // The head office out of reach: every scan is still answered, with the
    // last replicated price, and the lag grows.
    primary_->Stop();
    std::array<double, 2> lagBefore{};
    for (std::size_t i = 0; i < stores_.size(); ++i) {
        EXPECT_TRUE(LogSays(*stores_[i].Server, "does not stream from the head office"));
        const std::string metrics = stores_[i].Server->MetricsAddress();
        EXPECT_EQ(Metric(metrics, "srv_zel_replication_streaming"), 0);
        lagBefore[i] = Metric(metrics, "srv_zel_replication_lag_seconds");
    }
    for (int round = 0; round < 5; ++round) {
        EXPECT_TRUE(EveryStoreShows("$91.00"));
        std::this_thread::sleep_for(400ms);
    }
    for (std::size_t i = 0; i < stores_.size(); ++i) {
        EXPECT_GT(Metric(stores_[i].Server->MetricsAddress(), "srv_zel_replication_lag_seconds"),
                  lagBefore[i] + 1);
        // The store's technician sees how old the prices are.
        const std::string monitor = stores_[i].Gate->MonitorAddress();
        httplib::Client page(monitor.substr(0, monitor.rfind(':')),
                             std::stoi(monitor.substr(monitor.rfind(':') + 1)));
        const auto status = page.Get("/status");
        ASSERT_TRUE(status);
        EXPECT_NE(status->body.find(R"("prices_as_of": "20)"), std::string::npos) << status->body;
    }

    // The head office back: a new price reaches the stores again.
    primary_->Start();
    ImportMilkPrice(office_, primary_->Uri(), "92.50");
    EXPECT_TRUE(ReachesEveryStore("$92.50", 30s));
    for (Store& s : stores_) {
        EXPECT_TRUE(LogSays(*s.Server, "streams from the head office again"));
        EXPECT_EQ(Metric(s.Server->MetricsAddress(), "srv_zel_replication_streaming"), 1);
    }
}

}  // namespace
}  // namespace zel::e2e
