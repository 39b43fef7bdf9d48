#include "LoadTools.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zel::bench {
namespace {

constexpr int START_ATTEMPTS = 5;  // a port taken between picking and binding: pick again
constexpr auto START_LIMIT = std::chrono::seconds(10);
constexpr auto STOP_LIMIT = std::chrono::seconds(5);
constexpr auto POLL_EVERY = std::chrono::milliseconds(10);

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A port nobody listens on now: bound at port 0, read back, released.
std::uint16_t FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        throw std::runtime_error("no socket for a free port");
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    close(s);
    if (!bound) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    return ntohs(a.sin_port);
}

// A text as one single-quoted nginx string that `return` sends as it is.
std::string NginxQuoted(std::string_view text) {
    if (text.find('$') != std::string_view::npos) {
        throw std::runtime_error("nginx would read '$' in a fixed answer as a variable");
    }
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "'";
}

std::string Config(const std::string& dir, std::uint16_t port, std::uint16_t tlsPort,
                   const std::optional<NginxTls>& tls, std::string_view handshakePath,
                   std::string_view handshakeBody, std::string_view body) {
    // One process in the foreground that serves by itself; everything it
    // writes stays in the run's folder; kept-alive connections are never
    // closed for their number of requests, as srv_zel does not close them.
    std::string c = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    c += "pid " + dir + "/nginx.pid;\nerror_log stderr warn;\n";
    c += "events { worker_connections 1024; }\nhttp {\n";
    c += "  access_log off;\n  default_type application/json;\n";
    c += "  keepalive_timeout 65s;\n  keepalive_requests 1000000000;\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        c += "  " + std::string(kind) + "_temp_path " + dir + "/" + kind + ";\n";
    }
    c += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n";
    if (tls) {
        c += "    listen 127.0.0.1:" + std::to_string(tlsPort) + " ssl;\n";
        c += "    ssl_certificate " + tls->Cert + ";\n    ssl_certificate_key " + tls->Key + ";\n";
        c += "    ssl_protocols TLSv1.2 TLSv1.3;\n";
    }
    c += "    location " + std::string(handshakePath) + " { return 200 " +
         NginxQuoted(handshakeBody) + "; }\n";
    c += "    location / { return 200 " + NginxQuoted(body) + "; }\n  }\n}\n";
    return c;
}

std::string Quoted(const std::string& argument) {
    return "'" + argument + "'";
}

long Count(const std::string& text, const std::regex& pattern) {
    std::smatch m;
    long sum = 0;
    for (auto from = text.cbegin(); std::regex_search(from, text.cend(), m, pattern);
         from = m[0].second) {
        for (std::size_t i = 1; i < m.size(); ++i) {
            sum += std::strtol(m[i].str().c_str(), nullptr, 10);
        }
    }
    return sum;
}

}  // namespace

std::string FindProgram(std::string_view name) {
    std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin";
    std::size_t from = 0;
    while (from <= dirs.size()) {
        const std::size_t to = std::min(dirs.find(':', from), dirs.size());
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(from, to - from)) / name;
        if (to > from && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        from = to + 1;
    }
    return {};
}

NginxFloor::NginxFloor(const std::string& program, const std::string& dir,
                       std::string_view handshakePath, std::string_view handshakeBody,
                       std::string_view body, std::optional<NginxTls> tls)
    : tls_(std::move(tls)) {
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        if (Start(program, dir, handshakePath, handshakeBody, body)) {
            return;
        }
    }
    throw std::runtime_error("nginx found no free port in " + std::to_string(START_ATTEMPTS) +
                             " attempts");
}

NginxFloor::~NginxFloor() {
    Stop();
}

bool NginxFloor::Start(const std::string& program, const std::string& dir,
                       std::string_view handshakePath, std::string_view handshakeBody,
                       std::string_view body) {
    port_ = FreePort();
    tlsPort_ = tls_ ? FreePort() : 0;
    const std::string config = dir + "/nginx.conf";
    const std::string pidFile = dir + "/nginx.pid";
    const std::string log = dir + "/nginx.log";
    std::ofstream(config) << Config(dir, port_, tlsPort_, tls_, handshakePath, handshakeBody, body);
    std::filesystem::remove(pidFile);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed: nginx not started");
    }
    if (pid_ == 0) {
        // A benchmark that dies (a failed assertion, a kill) takes nginx with it.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() == 1) {
            _exit(127);
        }
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        const std::string prefix = dir + "/";
        execl(program.c_str(), "nginx", "-p", prefix.c_str(), "-c", config.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // nginx writes its pid file once it holds the port, and leaves when it
    // cannot have it.
    for (const auto until = std::chrono::steady_clock::now() + START_LIMIT;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(POLL_EVERY)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            const std::string said = ReadFile(log);
            if (said.find("Address already in use") != std::string::npos) {
                return false;
            }
            throw std::runtime_error("nginx did not start: " + said);
        }
        if (!ReadFile(pidFile).empty()) {
            return true;
        }
    }
    Stop();
    throw std::runtime_error("nginx did not start in time: " + ReadFile(log));
}

void NginxFloor::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    for (const auto until = std::chrono::steady_clock::now() + STOP_LIMIT;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(POLL_EVERY)) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::optional<WrkFigures> RunWrk(const std::string& program, const std::string& url, int threads,
                                 int connections, int seconds, const std::string& script) {
    const std::string command = Quoted(program) + " -t" + std::to_string(threads) + " -c" +
                                std::to_string(connections) + " -d" + std::to_string(seconds) +
                                "s -s " + Quoted(script) + " " + Quoted(url) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        std::fprintf(stderr, "bench_server: could not run %s\n", program.c_str());
        return std::nullopt;
    }
    std::string output;
    std::array<char, 4096> chunk{};
    for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
        output.append(chunk.data(), n);
    }
    const int status = pclose(pipe);
    std::smatch rate;
    if (status != 0 ||
        !std::regex_search(output, rate, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) {
        std::fprintf(stderr, "bench_server: wrk on %s failed:\n%s", url.c_str(), output.c_str());
        return std::nullopt;
    }
    WrkFigures f;
    f.CallsPerSecond = std::strtod(rate[1].str().c_str(), nullptr);
    f.Failures =
        Count(output, std::regex(R"(Non-2xx or 3xx responses:\s+(\d+))")) +
        Count(output, std::regex(R"(connect (\d+), read (\d+), write (\d+), timeout (\d+))"));
    return f;
}

}  // namespace zel::bench
