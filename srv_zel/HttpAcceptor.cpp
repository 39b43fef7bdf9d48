#include "srv_zel/HttpAcceptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace zel {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// Out of file handles: how long accepting pauses, and how many waiting
// connections are refused each time.
constexpr auto ACCEPT_BACKOFF = std::chrono::milliseconds(100);
constexpr int SHED_PER_BACKOFF = 64;
// For a connection that gives way to close and free its handle.
constexpr auto ROOM_WAIT = std::chrono::milliseconds(5);

int OpenSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

HttpAcceptor::HttpAcceptor(asio::io_context& io, const ServerAddress& listen, Notice notice)
    : acceptor_(io), backoff_(io), notice_(std::move(notice)) {
    Bind(listen);
    reserve_ = OpenSpare();
}

HttpAcceptor::~HttpAcceptor() {
    if (reserve_ >= 0) {
        ::close(reserve_);
    }
}

void HttpAcceptor::Bind(const ServerAddress& listen) {
    const std::string where = listen.ToString();
    error_code ec;
    tcp::resolver resolver(acceptor_.get_executor());
    const auto found =
        resolver.resolve(listen.Host, std::to_string(listen.Port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec) {
        throw std::runtime_error("cannot listen on " + where + ": " + ec.message());
    }
    for (const auto& entry : found) {
        error_code closed;
        acceptor_.close(closed);
        const std::function<void()> steps[] = {
            [&] { acceptor_.open(entry.endpoint().protocol(), ec); },
            [&] { acceptor_.set_option(tcp::acceptor::reuse_address(true), ec); },
            [&] { acceptor_.bind(entry.endpoint(), ec); },
            [&] { acceptor_.listen(asio::socket_base::max_listen_connections, ec); },
            [&] { acceptor_.non_blocking(true, ec); },
        };
        ec.clear();
        for (const auto& step : steps) {
            if (!ec) {
                step();
            }
        }
        if (!ec) {
            port_ = acceptor_.local_endpoint().port();
            return;
        }
    }
    throw std::runtime_error("cannot listen on " + where + ": " +
                             (ec ? ec.message() : std::string("no address")));
}

void HttpAcceptor::Start(std::function<asio::io_context&()> next, Accepted accepted, Refuse refuse,
                         MakeRoom makeRoom) {
    next_ = std::move(next);
    accepted_ = std::move(accepted);
    refuse_ = std::move(refuse);
    makeRoom_ = std::move(makeRoom);
    Accept();
}

void HttpAcceptor::Stop() {
    stopped_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    backoff_.cancel();
}

void HttpAcceptor::Accept() {
    if (stopped_) {
        return;
    }
    acceptor_.async_accept(next_(), [this](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || stopped_) {
            return;
        }
        if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
            OutOfHandles();
            return;
        }
        short_.End();
        if (!ec) {  // else the client went before it was taken
            accepted_(std::move(socket));
        }
        Accept();
    });
}

// No handle for a new connection: an idle one gives way, its handle freed on
// its own thread a moment later; with none idle, the spare one is let go to
// refuse those waiting. Then accepting pauses.
void HttpAcceptor::OutOfHandles() {
    if (auto line = short_.Begin("out of file handles: the connection idle the longest makes "
                                 "room for a new one; with none idle, 503; raise LimitNOFILE",
                                 EpisodeNotice::Clock::now());
        line && notice_) {
        notice_(*line);
    }
    if (makeRoom_ && makeRoom_()) {
        backoff_.expires_after(ROOM_WAIT);
        backoff_.async_wait([this](const error_code& ec) {
            if (!ec) {
                Accept();
            }
        });
        return;
    }
    for (int i = 0; i < SHED_PER_BACKOFF; ++i) {
        if (reserve_ >= 0) {
            ::close(reserve_);
            reserve_ = -1;
        }
        const int fd =
            ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            break;
        }
        refuse_(fd, "the server is out of file handles; try again later");
        ::close(fd);
        reserve_ = OpenSpare();
    }
    if (reserve_ < 0) {
        reserve_ = OpenSpare();
    }
    backoff_.expires_after(ACCEPT_BACKOFF);
    backoff_.async_wait([this](const error_code& ec) {
        if (!ec) {
            Accept();
        }
    });
}

}  // namespace zel
