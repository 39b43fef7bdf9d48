#include "GatewayStack.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "Terminal.h"
#include "gateway/Constants.h"

namespace zel::e2e {

namespace {

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// A CSV field, quoted when it must be.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

constexpr std::string_view kMetricsOn = ", metrics on ";

// The address in srv_zel's "serving FILE on HOST:PORT[, metrics on HOST:PORT]"
// line, once written.
std::optional<std::string> ServingAddress(const std::string& log) {
    const auto serving = log.find("serving ");
    if (serving == std::string::npos) {
        return std::nullopt;
    }
    auto end = log.find('\n', serving);
    end = std::min(end, log.find(kMetricsOn, serving));
    const auto on = log.rfind(" on ", end);
    if (end == std::string::npos || on == std::string::npos || on < serving) {
        return std::nullopt;
    }
    return log.substr(on + 4, end - on - 4);
}

}  // namespace

const Programs& ProgramPaths() {
    static const Programs programs{ZEL_E2E_GATEWAY, ZEL_E2E_SRV_ZEL, ZEL_E2E_SIMULATOR};
    return programs;
}

void ImportCatalogue(const TempDir& dir, const std::filesystem::path& database,
                     const std::vector<Article>& articles, const std::vector<std::string>& taxes) {
    std::string csv = "codigo,descripcion,precio1,imps_act,ban_imps\n";
    for (const Article& a : articles) {
        csv += a.Codigo + "," + CsvField(a.Descripcion) + "," + a.Precio1 + "," +
               std::to_string(a.ImpsAct) + "," + std::to_string(a.BanImps) + "\n";
    }
    std::string taxCsv = "pct\n";
    for (const std::string& t : taxes) {
        taxCsv += t + "\n";
    }
    WriteFile(dir.File("articulos.csv"), csv);
    WriteFile(dir.File("impuestos.csv"), taxCsv);

    ChildOptions options;
    options.Arguments = {ProgramPaths().SrvZel,
                         "import",
                         "--db",
                         database.string(),
                         "--articles",
                         dir.File("articulos.csv"),
                         "--taxes",
                         dir.File("impuestos.csv")};
    options.StandardError = dir.File("import.log");
    ChildProcess import(options);
    const auto status = import.WaitExit(std::chrono::seconds(30));
    if (!status || ExitCode(*status) != 0) {
        throw std::runtime_error("srv_zel import failed (" +
                                 (status ? DescribeStatus(*status) : std::string("still running")) +
                                 "): " + ReadWholeFile(options.StandardError));
    }
}

SrvZel::SrvZel(const TempDir& dir, std::filesystem::path database,
               std::vector<std::string> extraArguments, unsigned long fileLimit)
    : dir_(dir),
      database_(std::move(database)),
      extraArguments_(std::move(extraArguments)),
      fileLimit_(fileLimit) {
    Start("127.0.0.1:0");
}

void SrvZel::Start(const std::string& listen) {
    ChildOptions options;
    options.Arguments = {ProgramPaths().SrvZel, "serve",    "--db",
                         database_.string(),    "--listen", listen};
    options.Arguments.insert(options.Arguments.end(), extraArguments_.begin(),
                             extraArguments_.end());
    // Named for this process's count of starts, so two servers in one folder
    // never read each other's log for their address.
    static std::atomic<int> everStarted{0};
    options.StandardError = dir_.File("srv_zel-" + std::to_string(++everStarted) + ".log");
    options.FileLimit = fileLimit_;
    log_ = options.StandardError;
    process_.reset();
    process_ = std::make_unique<ChildProcess>(options);
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (;;) {
        const std::string log = ReadWholeFile(options.StandardError);
        if (const auto address = ServingAddress(log)) {
            address_ = *address;
            if (const auto at = log.find(kMetricsOn); at != std::string::npos) {
                const auto from = at + kMetricsOn.size();
                metricsAddress_ = log.substr(from, log.find('\n', from) - from);
            }
            return;
        }
        if (!process_->Running() || Clock::now() >= deadline) {
            throw std::runtime_error("srv_zel did not start serving on " + listen + ": " + log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string SrvZel::Stderr() const {
    return ReadWholeFile(log_);
}

void SrvZel::Kill() {
    process_->Kill();
}

void SrvZel::Restart() {
    process_->Kill();
    Start(address_);
}

std::string GatewayConfig::Text() const {
    std::string t;
    t += "[SRV_ZEL]\nIP=" + ServerAddress + "\n";
    if (!Ca.empty()) {
        t += "CA=" + Ca + "\n";
    }
    if (!ClaveArchivo.empty()) {
        t += "CLAVE_ARCHIVO=" + ClaveArchivo + "\n";
    }
    if (Conexiones != 0) {
        t += "CONEXIONES=" + std::to_string(Conexiones) + "\n";
    }
    if (LimiteConsulta != 0) {
        t += "LIMITE_CONSULTA=" + std::to_string(LimiteConsulta) + "\n";
    }
    t += "[GENERAL]\n";
    t += "PRECIO=" + std::to_string(Precio) + "\n";
    t += "IMPS_INCLUIDO=" + std::to_string(ImpsIncluido) + "\n";
    t += "MONEDA_MINIMA=" + MonedaMinima + "\n";
    t += "PUNTO_REDONDEO=" + PuntoRedondeo + "\n";
    t += "ESPERA=" + std::to_string(Espera) + "\n";
    t += "TIPO=" + std::to_string(Tipo) + "\n";
    t += "PAUSA_POR_TERMINAL=" + std::to_string(PausaPorTerminal) + "\n";
    t += "[TCP]\nPUERTO=" + std::to_string(Port) + "\n";
    t += "[MENSAJES]\n";
    for (std::size_t i = 0; i < IdleLines.size(); ++i) {
        t += "M" + std::to_string(i + 1) + "=" + IdleLines[i] + "\n";
    }
    if (!SinServicio.empty()) {
        t += "SIN_SERVICIO=" + SinServicio + "\n";
    }
    t += "[MONITOR]\nDIRECCION=" + Monitor + "\n";
    if (!Terminales.empty()) {
        t += "[TERMINALES]\n";
        for (const auto& [address, name] : Terminales) {
            t += address + "=" + name + "\n";
        }
    }
    return t;
}

Gateway::Gateway(const TempDir& dir, GatewayConfig config, GatewayRun run)
    : config_(std::move(config)), port_(config_.Port) {
    const std::filesystem::path conf = dir.File("Conf.ini");
    WriteFile(conf, config_.Text());
    // Qt wants a private runtime folder; giving it one keeps stderr to what
    // the gateway itself writes.
    const std::filesystem::path runtime = dir.File("runtime");
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);

    ChildOptions options;
    options.Arguments = {ProgramPaths().Gateway};
    options.Arguments.insert(options.Arguments.end(), run.Arguments.begin(), run.Arguments.end());
    options.SetEnvironment = {{"ZEL_CONF", conf.string()},
                              {"LC_ALL", run.Locale},
                              {"ZEL_CODEPAGE", "WINDOWS-1252"},
                              {"QT_QPA_PLATFORM", "offscreen"},
                              {"XDG_RUNTIME_DIR", runtime.string()}};
    options.SetEnvironment.insert(options.SetEnvironment.end(), run.Environment.begin(),
                                  run.Environment.end());
    options.RemoveEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "LANG", "LANGUAGE"};
    options.StandardError = dir.File("gateway.log");
    // The log of a gateway before this one in the same folder must not be
    // read for this one's port before the new process truncates it.
    std::filesystem::remove(options.StandardError);
    options.StandardOutput = dir.File("gateway.out");
    options.FileLimit = run.FileLimit;
    process_ = std::make_unique<ChildProcess>(options);
}

std::string Gateway::Stderr() const {
    std::string text = ReadWholeFile(process_->StandardError());
    if (const auto at = text.find(PORT_REPORT_START); at != std::string::npos) {
        text.erase(at, text.find('\n', at) + 1 - at);
    }
    return text;
}

void Gateway::WaitListening(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (port_ == 0) {
            const std::string text = ReadWholeFile(process_->StandardError());
            const auto at = text.find(PORT_REPORT_START);
            if (at != std::string::npos && text.find(PORT_REPORT_END, at) != std::string::npos) {
                port_ = static_cast<std::uint16_t>(
                    std::stoul(text.substr(at + PORT_REPORT_START.size())));
            }
        }
        if (port_ != 0 && SomethingListens(port_)) {
            return;
        }
        if (!process_->Running()) {
            throw std::runtime_error("the gateway ended before listening on port " +
                                     std::to_string(port_) + "; its stderr: " + Stderr());
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("the gateway did not listen on port " + std::to_string(port_) +
                                     " within " + std::to_string(limit.count()) +
                                     " ms; its stderr: " + Stderr());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string Gateway::MonitorAddress(std::chrono::milliseconds limit) const {
    constexpr std::string_view kLine = "Status and metrics on http://";
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const std::string log = Stderr();
        if (const auto at = log.find(kLine); at != std::string::npos) {
            const auto from = at + kLine.size();
            return log.substr(from, log.find('/', from) - from);
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("the gateway did not tell its monitor address; its stderr: " +
                                     log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> Gateway::Stop(int signal, std::chrono::milliseconds limit) {
    process_->Signal(signal);
    return process_->WaitExit(limit);
}

}  // namespace zel::e2e
