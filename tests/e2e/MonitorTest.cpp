// The gateway as systemd and an admin see it: the status and metrics
// endpoint under real traffic, and the notifications on a socket of the
// test's own.
#include <httplib.h>
#include <signal.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "GatewayFixture.h"
#include "NotifySocket.h"

namespace zel::e2e {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// One GET; throws when there is no 200 answer.
std::string Get(const std::string& address, const std::string& path) {
    const auto colon = address.rfind(':');
    httplib::Client client(address.substr(0, colon), std::stoi(address.substr(colon + 1)));
    client.set_read_timeout(5, 0);
    const auto result = client.Get(path);
    if (!result || result->status != 200) {
        throw std::runtime_error("GET " + path + " failed");
    }
    return result->body;
}

// The value of one sample of the metrics text ("name" or "name{labels}").
double Sample(const std::string& metrics, const std::string& sample) {
    const auto at = metrics.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::atof(metrics.c_str() + at + sample.size() + 2);
}

// Waits until the metrics show `value` for `sample`; the last metrics text.
std::string AwaitSample(const std::string& address, const std::string& sample, double value) {
    const auto deadline = Clock::now() + 10s;
    std::string metrics = Get(address, "/metrics");
    while (Sample(metrics, sample) != value && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        metrics = Get(address, "/metrics");
    }
    EXPECT_EQ(Sample(metrics, sample), value) << sample << "\n" << metrics;
    return metrics;
}

TEST_F(GatewayTest, MetricsAndStatusCountWhatTheTerminalsDid) {
    GatewayConfig config;
    config.Espera = 0;
    config.Monitor = "127.0.0.1:0";
    Gateway& gateway = StartGateway(config);
    const std::string monitor = gateway.MonitorAddress();
    auto first = Connect();
    auto second = Connect();
    for (std::string_view code : {kMilk, kMissing}) {
        first->Scan(code);
        first->ExpectFrame(kPrompt);
        first->ReadFor(300ms);  // the idle screen after a result: all read, so the close is orderly
    }
    second->Send("no code here");

    AwaitSample(monitor, "zel_scans_total{outcome=\"ignored\"}", 1);
    const std::string metrics = AwaitSample(monitor, "zel_terminals_connected", 2);
    EXPECT_EQ(Sample(metrics, "zel_scans_total{outcome=\"found\"}"), 1);
    EXPECT_EQ(Sample(metrics, "zel_scans_total{outcome=\"not_found\"}"), 1);
    EXPECT_EQ(Sample(metrics, "zel_scans_total{outcome=\"lookup_failed\"}"), 0);
    // Accepted: the two terminals, and the harness's probe that the port is
    // open, which is released as closed or, when it left before its idle
    // screen came, as reset.
    const double resets = Sample(metrics, "zel_connections_released_total{cause=\"reset\"}");
    EXPECT_EQ(Sample(metrics, "zel_connections_accepted_total"),
              2 + Sample(metrics, "zel_connections_released_total{cause=\"closed\"}") + resets);
    EXPECT_EQ(Sample(metrics, "zel_lookup_duration_seconds_count"), 2);
    EXPECT_EQ(Sample(metrics, "zel_build_info{version=\"" ZEL_VERSION "\"}"), 1);
    const std::string file = dir_.Write("metrics.txt", metrics);
    EXPECT_EQ(std::system(("promtool check metrics < " + file).c_str()), 0) << metrics;

    const Json status = Json::parse(Get(monitor, "/status"));
    EXPECT_EQ(status["version"], ZEL_VERSION);
    EXPECT_EQ(status["terminal_port"], gateway.Port());
    EXPECT_EQ(status["server"]["address"], server_->Address());
    EXPECT_EQ(status["server"]["state"], "up");
    EXPECT_TRUE(status["server"]["last_success"].is_string());
    ASSERT_EQ(status["terminals"].size(), 2u) << status.dump(2);
    std::set<int> ports;
    for (const Json& terminal : status["terminals"]) {
        ports.insert(terminal["port"].get<int>());
        if (terminal["scans"] == 2) {
            EXPECT_EQ(terminal["last_scan"]["code"], std::string(kMissing));
            EXPECT_EQ(terminal["last_scan"]["outcome"], "not_found");
            EXPECT_EQ(terminal["found"], 1);
            EXPECT_EQ(terminal["not_found"], 1);
        }
    }
    EXPECT_EQ(ports, (std::set<int>{first->LocalPort(), second->LocalPort()}));

    second->Reset();
    AwaitSample(monitor, "zel_connections_released_total{cause=\"reset\"}", resets + 1);
    const double closed = Sample(metrics, "zel_connections_released_total{cause=\"closed\"}");
    first->Close();
    AwaitSample(monitor, "zel_connections_released_total{cause=\"closed\"}", closed + 1);
    const Json before = Json::parse(Get(monitor, "/status"));
    EXPECT_EQ(before["terminals"].size(), 0u);
    // Idle, nothing happens; the uptime still counts to each request.
    std::this_thread::sleep_for(300ms);
    EXPECT_GE(Json::parse(Get(monitor, "/status"))["uptime_seconds"].get<double>(),
              before["uptime_seconds"].get<double>() + 0.3);
}

TEST_F(GatewayTest, TheEndpointAnswersWhileAWholeGatewayPauseStands) {
    GatewayConfig config;
    config.Espera = 2000;  // mode 0: the whole gateway waits
    config.Monitor = "127.0.0.1:0";
    Gateway& gateway = StartGateway(config);
    const std::string monitor = gateway.MonitorAddress();
    auto terminal = Connect();
    terminal->Scan(kMilk);
    const Frame result = terminal->ExpectFrame(kPrompt);
    // The pause stands from just after the result is sent.
    Json status;
    double ms = 0;
    do {
        const auto asked = Clock::now();
        status = Json::parse(Get(monitor, "/status"));
        ms = MillisecondsBetween(asked, Clock::now());
    } while (status["terminals"].size() == 1 && status["terminals"][0]["state"] != "pausing" &&
             MillisecondsBetween(result.At, Clock::now()) < 1000);
    std::printf("status during the pause answered in %.1f ms\n", ms);
    ASSERT_EQ(status["terminals"].size(), 1u);
    EXPECT_EQ(status["terminals"][0]["state"], "pausing");
    // Far within the pause: it did not wait for it (the goal is some ms).
    EXPECT_LT(MillisecondsBetween(result.At, Clock::now()), 1500);
}

// Every metric the packaged alerting rules and dashboard name, as written
// in them ("zel_..." or "srv_zel_...").
std::set<std::string> MetricsNamedIn(const std::vector<std::string>& files) {
    const std::regex name(R"(\b(?:srv_)?zel_[a-z0-9_]*[a-z0-9])");
    std::set<std::string> names;
    for (const std::string& file : files) {
        const std::string text = ReadWholeFile(file);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), name);
             it != std::sregex_iterator(); ++it) {
            names.insert(it->str());
        }
    }
    return names;
}

TEST_F(GatewayTest, EveryMetricTheRulesAndTheDashboardNameIsScraped) {
    SrvZel server(dir_, dir_.File("tienda.db"), {"--metrics", "127.0.0.1:0"});
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.Espera = 0;
    config.Monitor = "127.0.0.1:0";
    Gateway& gateway = StartGateway(config);
    auto terminal = Connect();
    terminal->Scan(kMilk);  // a lookup: the histograms and per-path series exist from here
    terminal->ExpectFrame(kPrompt);
    terminal->Scan(kMissing);        // and a code not found, for its series
    terminal->ExpectFrame(kPrompt);  // the first scan's idle screen
    terminal->ExpectFrame(kPrompt);
    const std::string scraped =
        Get(gateway.MonitorAddress(), "/metrics") + Get(server.MetricsAddress(), "/metrics");

    std::set<std::string> named =
        MetricsNamedIn({ZEL_SOURCE_DIR "/packaging/prometheus/zel-rv7300.rules.yml",
                        ZEL_SOURCE_DIR "/packaging/grafana/zel-rv7300.json"});
    // A srv_zel on a standby alone has the replication's series; the chain's
    // test scrapes them there.
    std::erase_if(named,
                  [](const std::string& m) { return m.starts_with("srv_zel_replication_"); });
    EXPECT_GE(named.size(), 10u);
    for (const std::string& metric : named) {
        EXPECT_TRUE(std::regex_search(scraped, std::regex("\n" + metric + "[ {]")))
            << metric << " is named but not scraped";
    }
}

TEST_F(GatewayTest, ASecondGatewayOnTheSameMonitorPortWarnsAndServesItsTerminals) {
    GatewayConfig config;
    config.Espera = 0;
    config.Monitor = "127.0.0.1:0";
    const std::string monitor = StartGateway(config).MonitorAddress();

    TempDir otherDir;
    config.ServerAddress = server_->Address();
    config.Monitor = monitor;
    Gateway second(otherDir, config);
    second.WaitListening();
    Terminal terminal(second.Port(), 0);
    terminal.ExpectFrame(kPrompt);
    terminal.Scan(kMilk);
    EXPECT_EQ(terminal.ExpectFrame(kPrompt).Bytes, ExpectedResultFrame(kMilkText, "$89.50", 0));
    EXPECT_NE(second.Stderr().find("Warning: no status and metrics endpoint: [MONITOR] "
                                   "DIRECCION = \"" +
                                   monitor + "\": cannot listen there"),
              std::string::npos)
        << second.Stderr();
    // Every answer on the port is the first gateway's, which has no terminal.
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Json::parse(Get(monitor, "/status"))["terminals"].size(), 0u);
    }
}

TEST_F(GatewayTest, SigtermJustAfterTheStartEndsTheGatewayAtOnce) {
    GatewayConfig config;
    config.ServerAddress = server_->Address();
    config.Monitor = "127.0.0.1:0";
    // Each start is stopped at another moment of its start-up, the endpoint's included.
    for (const auto delay : {0us, 300us, 1000us, 3000us, 10000us}) {
        TempDir runDir;
        Gateway gateway(runDir, config);
        std::this_thread::sleep_for(delay);
        const auto status = gateway.Stop(SIGTERM, 10s);
        ASSERT_TRUE(status.has_value())
            << "still running 10 s after SIGTERM, sent after " << delay.count() << " us";
    }
}

TEST_F(GatewayTest, SystemdHearsReadyStatusPingsThroughAPauseAndStopping) {
    test::NotifySocket notify(dir_.File("notify"));
    // Read at once, as systemd does: a full socket queue would hold the sender.
    std::vector<test::NotifySocket::Message> messages;
    std::thread reader([&] {
        while (auto message = notify.Receive(20s)) {
            messages.push_back(*message);
            if (message->Text == "STOPPING=1") {
                return;
            }
        }
    });
    GatewayConfig config;
    config.Espera = 1500;  // mode 0
    GatewayRun run;
    run.Environment = {{"NOTIFY_SOCKET", notify.Path()}, {"WATCHDOG_USEC", "200000"}};
    StartGateway(config, run);
    auto terminal = Connect();
    terminal->Scan(kMilk);
    const Frame result = terminal->ExpectFrame(kPrompt);
    const Frame idle = terminal->ExpectFrame(kPrompt);
    const auto status = gateway_->Stop(SIGTERM);
    reader.join();
    ASSERT_TRUE(status.has_value());

    ASSERT_GE(messages.size(), 2u);
    EXPECT_TRUE(std::regex_search(messages.front().Text,
                                  std::regex("^READY=1\nSTATUS=Terminals on port [0-9]+: 0 "
                                             "connected")))
        << messages.front().Text;
    EXPECT_EQ(messages.back().Text, "STOPPING=1");
    int pingsDuringPause = 0;
    bool sawScan = false;
    for (std::size_t i = 1; i + 1 < messages.size(); ++i) {
        const std::string& text = messages[i].Text;
        if (text.rfind("STATUS=", 0) == 0) {
            sawScan = sawScan || text.find("1 found") != std::string::npos;
            continue;
        }
        EXPECT_EQ(text, "WATCHDOG=1");
        pingsDuringPause += messages[i].At > result.At && messages[i].At < idle.At;
    }
    EXPECT_TRUE(sawScan) << "the status tells the scan";
    EXPECT_GE(pingsDuringPause, 3) << "the loop kept pinging through the pause";
}

}  // namespace
}  // namespace zel::e2e
