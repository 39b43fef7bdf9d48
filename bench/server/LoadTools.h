// LoadTools: the outside programs bench_server measures with. NginxFloor runs
// nginx on loopback as the floor of an HTTP server: one process, with its
// configuration, pid file, logs and temporary files in a folder of the run,
// answering every request with a fixed body. RunWrk puts wrk's load on a URL
// and reads back its calls per second. Either program may be missing:
// FindProgram says so, and the benchmark leaves those rows out.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel::bench {

// The full path of an installed program (searched on PATH, then in /usr/sbin
// and /sbin, where nginx lives); empty when it is not installed.
std::string FindProgram(std::string_view name);

// A certificate and its key, for nginx's HTTPS port.
struct NginxTls {
    std::string Cert;
    std::string Key;
};

class NginxFloor {
public:
    // Starts `program` with a configuration written in `dir` (which must
    // exist), listening on 127.0.0.1 at a free port: requests whose path
    // starts with `handshakePath` are answered `handshakeBody`, every other
    // request `body`, both as application/json, on kept-alive connections.
    // With tls, the same answers over HTTPS on a second port.
    // Throws std::runtime_error, with nginx's own words, when it does not start.
    NginxFloor(const std::string& program, const std::string& dir, std::string_view handshakePath,
               std::string_view handshakeBody, std::string_view body,
               std::optional<NginxTls> tls = std::nullopt);
    ~NginxFloor();
    NginxFloor(const NginxFloor&) = delete;
    NginxFloor& operator=(const NginxFloor&) = delete;

    std::uint16_t Port() const { return port_; }
    std::uint16_t TlsPort() const { return tlsPort_; }  // 0: no HTTPS

private:
    // Listening, true; nginx gone because the port was taken, false.
    bool Start(const std::string& program, const std::string& dir, std::string_view handshakePath,
               std::string_view handshakeBody, std::string_view body);

    std::optional<NginxTls> tls_;
    void Stop();

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
};

struct WrkFigures {
    double CallsPerSecond = 0;
    long Failures = 0;  // answers that were not 2xx or 3xx, and socket errors
};

// `wrk -t threads -c connections -d seconds -s script url`; nullopt, with
// wrk's output on stderr, when it fails or prints no rate.
std::optional<WrkFigures> RunWrk(const std::string& program, const std::string& url, int threads,
                                 int connections, int seconds, const std::string& script);

}  // namespace zel::bench
