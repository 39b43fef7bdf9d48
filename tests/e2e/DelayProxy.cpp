#include "DelayProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace zel::e2e {

namespace {

constexpr std::size_t CHUNK = 64 * 1024;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

struct Held {
    DelayProxy::Clock::time_point Due;
    std::string Bytes;
};

// One direction of one connection.
struct Leg {
    int From = -1;
    int To = -1;
    std::deque<Held> Queue;
    bool Ended = false;  // From reached its end
};

struct Pair {
    Leg Up;    // client to server
    Leg Down;  // server to client
    DelayProxy::Clock::time_point LastTraffic;
};

}  // namespace

struct DelayProxy::State {
    std::uint16_t Target = 0;
    std::chrono::milliseconds OneWay{0};
    std::chrono::milliseconds IdleClose{0};
    int Listener = -1;
    std::uint16_t Port = 0;
    int Wake[2] = {-1, -1};
    std::thread Loop;
    mutable std::mutex Lock;
    std::vector<Clock::time_point> Requests;
    std::vector<Clock::time_point> Answers;
    std::list<Pair> Pairs;

    void Run() {
        ::prctl(PR_SET_TIMERSLACK, 1UL);  // the held bytes leave when due, not up to 50 us late
        for (;;) {
            std::vector<pollfd> fds{{Wake[0], POLLIN, 0}, {Listener, POLLIN, 0}};
            std::vector<Leg*> legs;
            auto due = Clock::time_point::max();
            for (Pair& p : Pairs) {
                for (Leg* leg : {&p.Up, &p.Down}) {
                    if (!leg->Ended) {
                        fds.push_back({leg->From, POLLIN, 0});
                        legs.push_back(leg);
                    }
                    if (!leg->Queue.empty()) {
                        due = std::min(due, leg->Queue.front().Due);
                    }
                }
                if (IdleClose.count() > 0) {
                    due = std::min(due, p.LastTraffic + IdleClose);
                }
            }
            // To the microsecond: a wait rounded up to the millisecond would
            // add up to one to every leg.
            timespec wait{};
            if (due != Clock::time_point::max()) {
                const auto left = std::max<Clock::duration>(due - Clock::now(), {});
                const auto seconds = std::chrono::floor<std::chrono::seconds>(left);
                wait.tv_sec = static_cast<time_t>(seconds.count());
                wait.tv_nsec = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
            }
            ::ppoll(fds.data(), fds.size(), due == Clock::time_point::max() ? nullptr : &wait,
                    nullptr);
            if (fds[0].revents != 0) {
                return;
            }
            if (fds[1].revents & POLLIN) {
                Accept();
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    Read(*legs[i - 2]);
                }
            }
            Deliver();
        }
    }

    void Accept() {
        const int client = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = Loopback(Target);
        if (server < 0 ||
            ::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            ::close(client);
            if (server >= 0) {
                ::close(server);
            }
            return;
        }
        NoDelay(client);
        NoDelay(server);
        Pair& p = Pairs.emplace_back();
        p.LastTraffic = Clock::now();
        p.Up.From = p.Down.To = client;
        p.Up.To = p.Down.From = server;
    }

    void Read(Leg& leg) {
        std::string bytes(CHUNK, '\0');
        const ssize_t n = ::recv(leg.From, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            leg.Ended = true;
            return;
        }
        bytes.resize(static_cast<std::size_t>(n));
        const auto now = Clock::now();
        leg.Queue.push_back({now + OneWay, std::move(bytes)});
        bool up = false;
        for (Pair& p : Pairs) {
            up = up || &p.Up == &leg;
            if (&p.Up == &leg || &p.Down == &leg) {
                p.LastTraffic = now;
            }
        }
        if (up) {
            std::lock_guard guard(Lock);
            Requests.push_back(now);
        }
    }

    void Deliver() {
        const auto now = Clock::now();
        for (auto it = Pairs.begin(); it != Pairs.end();) {
            for (Leg* leg : {&it->Up, &it->Down}) {
                while (!leg->Queue.empty() && leg->Queue.front().Due <= now) {
                    const std::string& bytes = leg->Queue.front().Bytes;
                    (void)::send(leg->To, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                    if (leg == &it->Down) {
                        std::lock_guard guard(Lock);
                        Answers.push_back(Clock::now());
                    }
                    leg->Queue.pop_front();
                }
                if (leg->Ended && leg->Queue.empty()) {
                    ::shutdown(leg->To, SHUT_WR);
                }
            }
            const bool idle = IdleClose.count() > 0 && it->Up.Queue.empty() &&
                              it->Down.Queue.empty() && now - it->LastTraffic >= IdleClose;
            const bool done = idle || (it->Up.Ended && it->Down.Ended && it->Up.Queue.empty() &&
                                       it->Down.Queue.empty());
            if (done) {
                ::close(it->Up.From);
                ::close(it->Up.To);
                it = Pairs.erase(it);
            } else {
                ++it;
            }
        }
    }
};

DelayProxy::DelayProxy(std::uint16_t targetPort, std::chrono::milliseconds oneWay,
                       std::chrono::milliseconds idleClose)
    : state_(std::make_unique<State>()) {
    state_->Target = targetPort;
    state_->OneWay = oneWay;
    state_->IdleClose = idleClose;
    state_->Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (state_->Listener < 0 ||
        ::bind(state_->Listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0 ||
        ::listen(state_->Listener, 128) != 0 ||
        ::getsockname(state_->Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(state_->Wake, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("delay proxy: ") + std::strerror(errno));
    }
    state_->Port = ntohs(address.sin_port);
    state_->Loop = std::thread([state = state_.get()] { state->Run(); });
}

DelayProxy::~DelayProxy() {
    const char stop = 0;
    (void)::write(state_->Wake[1], &stop, 1);
    state_->Loop.join();
    for (const Pair& p : state_->Pairs) {
        ::close(p.Up.From);
        ::close(p.Up.To);
    }
    ::close(state_->Listener);
    ::close(state_->Wake[0]);
    ::close(state_->Wake[1]);
}

std::string DelayProxy::Address() const {
    return "127.0.0.1:" + std::to_string(state_->Port);
}

std::vector<DelayProxy::Clock::time_point> DelayProxy::RequestTimes() const {
    std::lock_guard guard(state_->Lock);
    return state_->Requests;
}

std::vector<DelayProxy::Clock::time_point> DelayProxy::AnswerTimes() const {
    std::lock_guard guard(state_->Lock);
    return state_->Answers;
}

}  // namespace zel::e2e
