// Figures for the terminal listener, printed as a table:
//  1. N idle terminals (default 1000): resident memory per connection and
//     the time from the first connect until all are accepted and greeted;
//  2. request/response round trips through the listener with an echo
//     handler, for 1 and 50 terminals: p50/p99 latency and round trips/s,
//     beside a bare poll() echo loop on the same thread as the floor.
// The listener runs on the main thread's Qt event loop; the terminals run
// on a second thread with plain blocking/poll() sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BarePollServer.h"
#include "net/Readiness.h"
#include "net/ServerSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t REQUEST_SIZE = 16;  // STX and 13 digits and a little more
const std::string IDLE_SCREEN(250, 'x');  // about the size of a framed idle screen

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void RaiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int ConnectTo(std::uint16_t port) {
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (handle == -1 || ::connect(handle, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    const int on = 1;
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return handle;
}

void QuitLoop() {
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}

// As the gateway does: errors on a terminal connection are not shown.
void ClearError(zel::TServerWinSocket&, zel::TServerClientWinSocket&, zel::TErrorEvent, int& code) {
    code = 0;
}

// ---- 1. idle terminals ----------------------------------------------------

void IdleTerminals(int count) {
    zel::TServerSocket server;
    server.OnClientError = ClearError;
    int accepted = 0;
    Clock::time_point started, allAccepted;
    server.OnClientConnect = [&](zel::TServerWinSocket&, zel::TServerClientWinSocket& socket) {
        socket.TrySendText(IDLE_SCREEN);
        if (++accepted == count) {
            allAccepted = Clock::now();
            QuitLoop();
        }
    };
    server.SetActive(true);
    const std::uint16_t port = server.LocalPort();
    const long before = ResidentKiB();

    std::vector<int> terminals;
    terminals.reserve(static_cast<std::size_t>(count));
    started = Clock::now();
    // One after another, each reading its idle screen: the time to accept
    // and greet one, not the system's handling of a burst of connects.
    std::thread connecting([&] {
        std::string screen(IDLE_SCREEN.size(), '\0');
        for (int i = 0; i < count; ++i) {
            terminals.push_back(ConnectTo(port));
            if (::recv(terminals.back(), screen.data(), screen.size(), MSG_WAITALL) <= 0)
                std::fprintf(stderr, "bench_net: no idle screen for terminal %d\n", i);
        }
    });
    QCoreApplication::exec();
    connecting.join();
    const long after = ResidentKiB();
    const double acceptMs =
        std::chrono::duration<double, std::milli>(allAccepted - started).count();

    // Their release: every terminal hangs up.
    const auto closing = Clock::now();
    for (int handle : terminals) ::close(handle);
    while (server.Socket().ActiveConnections() > 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    const double releaseMs =
        std::chrono::duration<double, std::milli>(Clock::now() - closing).count();

    std::printf("idle terminals            %d\n", count);
    std::printf("  resident memory         %.2f KiB per connection (%ld KiB -> %ld KiB)\n",
                static_cast<double>(after - before) / count, before, after);
    std::printf("  accept and greet all    %.1f ms, one after another (%.1f us each)\n", acceptMs,
                acceptMs * 1000 / count);
    std::printf("  release after hang-up   %.1f ms\n", releaseMs);
}

// ---- 2. round trips -------------------------------------------------------

struct Load {
    std::vector<double> latencyUs;
    double seconds = 0;
};

// `clients` terminals, each with one request outstanding, for `span`.
Load DriveClients(std::uint16_t port, int clients, std::chrono::milliseconds span) {
    const std::string request(REQUEST_SIZE, '7');
    // One after another, each with one round trip: the figures are of round
    // trips, not of a burst of connects.
    std::vector<int> handles;
    for (int i = 0; i < clients; ++i) {
        handles.push_back(ConnectTo(port));
        std::string echo(REQUEST_SIZE, '\0');
        ::send(handles.back(), request.data(), request.size(), MSG_NOSIGNAL);
        if (::recv(handles.back(), echo.data(), echo.size(), MSG_WAITALL) <= 0)
            throw std::runtime_error("the echo server did not answer");
    }
    std::vector<std::size_t> got(handles.size(), 0);
    std::vector<Clock::time_point> sentAt(handles.size());
    std::vector<pollfd> watched;
    for (int handle : handles) watched.push_back({handle, POLLIN, 0});
    Load load;
    load.latencyUs.reserve(1 << 20);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < handles.size(); ++i) {
        sentAt[i] = Clock::now();
        ::send(handles[i], request.data(), request.size(), MSG_NOSIGNAL);
    }
    char buffer[256];
    while (Clock::now() - start < span) {
        if (::poll(watched.data(), watched.size(), 100) <= 0)
            continue;
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (!(watched[i].revents & POLLIN))
                continue;
            const ssize_t n = ::recv(handles[i], buffer, sizeof buffer, 0);
            if (n <= 0)
                throw std::runtime_error("the echo server hung up");
            got[i] += static_cast<std::size_t>(n);
            if (got[i] < REQUEST_SIZE)
                continue;
            const auto now = Clock::now();
            load.latencyUs.push_back(
                std::chrono::duration<double, std::micro>(now - sentAt[i]).count());
            got[i] = 0;
            sentAt[i] = now;
            ::send(handles[i], request.data(), request.size(), MSG_NOSIGNAL);
        }
    }
    load.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int handle : handles) ::close(handle);
    return load;
}

Load ThroughListener(int clients, std::chrono::milliseconds span) {
    zel::TServerSocket server;
    server.OnClientError = ClearError;
    server.OnClientRead = [](zel::TServerWinSocket&, zel::TServerClientWinSocket& socket) {
        socket.TrySendText(socket.TakePendingText());
    };
    server.OnClientConnect = [](zel::TServerWinSocket&, zel::TServerClientWinSocket& socket) {
        const int on = 1;
        setsockopt(socket.SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    };
    server.SetActive(true);
    Load load;
    std::thread driving([&] {
        load = DriveClients(server.LocalPort(), clients, span);
        QuitLoop();
    });
    QCoreApplication::exec();
    driving.join();
    return load;
}

// The floor: a bare poll() echo loop, no framework.
Load ThroughPollLoop(int clients, std::chrono::milliseconds span) {
    const zel::bench::BarePollServer echo(
        "", [](std::string_view received) { return std::string(received); });
    return DriveClients(echo.Port(), clients, span);
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

struct Figures {
    double p50, p99, perSecond;
};

Figures Summarise(const Load& load) {
    return {Percentile(load.latencyUs, 0.50), Percentile(load.latencyUs, 0.99),
            static_cast<double>(load.latencyUs.size()) / load.seconds};
}

void RoundTrips(int clients, std::chrono::milliseconds span) {
    const Figures listener = Summarise(ThroughListener(clients, span));
    const Figures floor = Summarise(ThroughPollLoop(clients, span));
    std::printf("round trips, %d terminal%s\n", clients, clients == 1 ? "" : "s");
    std::printf("  %-22s p50 %8.1f us   p99 %8.1f us   %10.0f round trips/s\n", "listener",
                listener.p50, listener.p99, listener.perSecond);
    std::printf("  %-22s p50 %8.1f us   p99 %8.1f us   %10.0f round trips/s\n", "bare poll() loop",
                floor.p50, floor.p99, floor.perSecond);
    std::printf("  %-22s p50 x%.2f        p99 x%.2f        throughput x%.2f\n", "listener / floor",
                listener.p50 / floor.p50, listener.p99 / floor.p99,
                listener.perSecond / floor.perSecond);
}

void Usage() {
    std::puts(
        "Usage: bench_net [--connections N] [--seconds S]\n"
        "Prints figures for the terminal listener:\n"
        "  N idle terminals (default 1000): resident memory per connection, time to accept;\n"
        "  echo round trips for 1 and 50 terminals over S seconds each (default 2),\n"
        "  through the listener and through a bare poll() loop, with their ratio.");
}

}  // namespace

int main(int argc, char** argv) {
    int connections = 1000;
    double seconds = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            Usage();
            return 0;
        }
        if ((option == "--connections" || option == "--seconds") && i + 1 < argc) {
            char* end = nullptr;
            const double value = std::strtod(argv[++i], &end);
            if (*end != '\0' || value <= 0) {
                std::fprintf(stderr, "bench_net: bad value '%s' for %s\n", argv[i], option.c_str());
                return 2;
            }
            (option == "--connections" ? connections = static_cast<int>(value) : 0);
            (option == "--seconds" ? seconds = value : 0);
            continue;
        }
        std::fprintf(stderr, "bench_net: unknown argument '%s' (try --help)\n", option.c_str());
        return 2;
    }
    zel::UseQtLoop();  // the gateway's own loop
    QCoreApplication app(argc, argv);
    RaiseFileLimit();
    try {
        IdleTerminals(connections);
        const auto span = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
        RoundTrips(1, span);
        RoundTrips(50, span);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_net: %s\n", error.what());
        return 1;
    }
    return 0;
}
