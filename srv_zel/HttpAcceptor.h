// HttpAcceptor: the listening socket. Binds the address (SO_REUSEADDR alone:
// a restart binds at once, a second server on the port fails), takes new
// connections on one I/O thread and, when the process runs out of file
// handles, has an idle connection give way or, with none idle, lets a
// spare one go to refuse those waiting, then pauses accepting for a moment
// so that the thread never spins. One notice per
// episode of running short.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <string>

#include "common/EpisodeNotice.h"
#include "server/ServerAddress.h"

namespace zel {

class HttpAcceptor {
public:
    using Socket = boost::asio::ip::tcp::socket;
    // A new connection, on the acceptor's thread.
    using Accepted = std::function<void(Socket socket)>;
    // A connection that is not served: answer it (a plain socket handle).
    using Refuse = std::function<void(int fd, const std::string& reason)>;
    // Out of file handles: closes a connection idle the longest to free one;
    // false when none is idle.
    using MakeRoom = std::function<bool()>;
    using Notice = std::function<void(const std::string& line)>;

    // Throws std::runtime_error naming the address.
    HttpAcceptor(boost::asio::io_context& io, const ServerAddress& listen, Notice notice);
    ~HttpAcceptor();
    HttpAcceptor(const HttpAcceptor&) = delete;
    HttpAcceptor& operator=(const HttpAcceptor&) = delete;

    std::uint16_t Port() const { return port_; }
    // On the acceptor's thread; each connection's socket runs on the context
    // next() gives.
    void Start(std::function<boost::asio::io_context&()> next, Accepted accepted, Refuse refuse,
               MakeRoom makeRoom);
    void Stop();

private:
    void Bind(const ServerAddress& listen);
    void Accept();
    void OutOfHandles();

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer backoff_;
    Notice notice_;
    std::function<boost::asio::io_context&()> next_;
    Accepted accepted_;
    Refuse refuse_;
    MakeRoom makeRoom_;
    EpisodeNotice short_;
    int reserve_ = -1;  // a spare file handle, let go when accept() runs out
    std::uint16_t port_ = 0;
    bool stopped_ = false;
};

}  // namespace zel
