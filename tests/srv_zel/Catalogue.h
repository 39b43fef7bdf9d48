// Test scaffolding: a catalogue file in a fresh temporary directory, and
// srv_zel serving it in-process on a free loopback port.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "server/IData_Srv_Zel.h"
#include "srv_zel/Sqlite.h"
#include "srv_zel/SrvZelServer.h"

namespace zel::test {

// Runs SQL on the catalogue (created with its tables when missing).
void ExecSql(const std::string& db, const std::string& sql);

// The list-1 price of article 7501, through BuscaPrecio.
double PriceOf7501(IData_Srv_Zel& object);

// Everything in the catalogue, in one comparable text.
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

}  // namespace zel::test
