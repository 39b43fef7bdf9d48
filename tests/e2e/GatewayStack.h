// The whole system on one machine, as the end-to-end tests and the gateway
// benchmark run it: a temporary folder, a catalogue imported from CSV with
// `srv_zel import`, `srv_zel serve` on 127.0.0.1, and the gateway started
// with its own Conf.ini (through ZEL_CONF) and locale. Every process is a
// ChildProcess, so nothing outlives the test.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace zel::e2e {

// The programs under test, where the build put them.
struct Programs {
    std::string Gateway;
    std::string SrvZel;
    std::string Simulator;
};
const Programs& ProgramPaths();

using test::TempDir;

// One row of the articles CSV; texts as written in the file (UTF-8).
struct Article {
    std::string Codigo;
    std::string Descripcion;
    std::string Precio1;  // empty: no price on list 1
    int ImpsAct = 0;
    int BanImps = 0;
};

// Writes both CSV files into `dir` and imports them into `database` with
// `srv_zel import`; throws with srv_zel's message when it fails.
void ImportCatalogue(const TempDir& dir, const std::filesystem::path& database,
                     const std::vector<Article>& articles, const std::vector<std::string>& taxes);

// `srv_zel serve` on 127.0.0.1.
class SrvZel {
public:
    // Starts serving `database`, on a port the system picks; returns once it
    // listens. Its log goes to files in `dir`. `extraArguments` follow the
    // serve command's own (e.g. --threads N). fileLimit: RLIMIT_NOFILE's
    // soft limit; 0: the test's own.
    SrvZel(const TempDir& dir, std::filesystem::path database,
           std::vector<std::string> extraArguments = {}, unsigned long fileLimit = 0);

    // "127.0.0.1:PORT", as Conf.ini names it.
    const std::string& Address() const { return address_; }
    // Where it serves /metrics, when started with --metrics; empty otherwise.
    const std::string& MetricsAddress() const { return metricsAddress_; }
    // Killed as by a crash (SIGKILL): nothing is closed in order.
    void Kill();
    // Started again on the same address; returns once it listens.
    void Restart();
    ChildProcess& Process() { return *process_; }
    // What it wrote to stderr so far.
    std::string Stderr() const;

private:
    void Start(const std::string& listen);

    const TempDir& dir_;
    std::filesystem::path database_;
    std::vector<std::string> extraArguments_;
    unsigned long fileLimit_;
    std::filesystem::path log_;
    std::string address_;
    std::string metricsAddress_;
    std::unique_ptr<ChildProcess> process_;
};

// The gateway's Conf.ini; every key is written out.
struct GatewayConfig {
    std::string ServerAddress;
    std::string Ca;            // [SRV_ZEL] CA, written only when set
    std::string ClaveArchivo;  // [SRV_ZEL] CLAVE_ARCHIVO, the same
    std::uint16_t Port = 0;    // [TCP] PUERTO; 0: the system chooses, the gateway reports it
    int Espera = 300;
    int Tipo = 0;
    int Precio = 1;
    int ImpsIncluido = 1;
    std::string MonedaMinima = "0.01";  // as written: the locale's decimal separator
    std::string PuntoRedondeo = "0.005";
    int PausaPorTerminal = 0;
    std::array<std::string, 7> IdleLines{"A", "B", "C", "D", "E", "F", "G"};
    // The lookup keys, written only when set (0 or empty: left out).
    int Conexiones = 0;
    int LimiteConsulta = 0;
    std::string SinServicio;
    std::string Monitor;  // [MONITOR] DIRECCION; empty: no endpoint
    std::vector<std::pair<std::string, std::string>> Terminales;  // [TERMINALES], when any

    std::string Text() const;
};

// How the gateway is run: its arguments and its locale (LC_ALL).
struct GatewayRun {
    std::vector<std::string> Arguments;
    std::string Locale = "en_US.UTF-8";
    std::vector<std::pair<std::string, std::string>> Environment = {};  // more variables
    unsigned long FileLimit = 0;  // RLIMIT_NOFILE's soft limit; 0: the test's own
};

// The gateway process.
class Gateway {
public:
    // Writes Conf.ini into `dir` and starts the program; does not wait.
    Gateway(const TempDir& dir, GatewayConfig config, GatewayRun run = {});

    // Returns once the gateway accepts connections on its port. Throws
    // std::runtime_error with its stderr when it ended first or did not
    // listen within `limit`.
    void WaitListening(std::chrono::milliseconds limit = std::chrono::seconds(15));

    // The terminal port: the one configured, or the one the gateway reported
    // for PUERTO 0 (known once WaitListening returned).
    std::uint16_t Port() const { return port_; }
    const GatewayConfig& Config() const { return config_; }
    ChildProcess& Process() { return *process_; }
    // Its stderr, without the line that reports a chosen port.
    std::string Stderr() const;
    // "host:port" of the status and metrics endpoint, as the gateway tells it
    // on stderr; throws when it does not within `limit`.
    std::string MonitorAddress(std::chrono::milliseconds limit = std::chrono::seconds(15)) const;

    // Sends `signal` and waits for the end; the wait status (nullopt when it
    // still ran after `limit`).
    std::optional<int> Stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    GatewayConfig config_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace zel::e2e
