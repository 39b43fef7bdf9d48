#include "net/StreamConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "net/SocketError.h"

namespace zel {

StreamConnection::StreamConnection(int handle, Events events)
    : handle_(handle), events_(std::make_shared<const Events>(std::move(events))) {
    // An answer leaves at once, not after the peer acknowledges the one before.
    const int on = 1;
    ::setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    try {
        read_ = ReadinessWatch(handle_, ReadinessWatch::Kind::Read, [this](int) { Readable(); });
    } catch (...) {
        ::close(handle_);
        throw;
    }
}

StreamConnection::~StreamConnection() {
    read_.Reset();
    write_.Reset();
    ::close(handle_);
}

bool StreamConnection::Send(std::string_view bytes) {
    if (failed_) {
        return false;
    }
    if (Unsent() == 0) {
        unsent_.clear();
        sentFrom_ = 0;
        while (!bytes.empty()) {
            const ssize_t sent = ::send(handle_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(sent));
            } else if (sent < 0 && errno == EINTR) {
                continue;
            } else if (sent < 0 && !WouldBlock(errno)) {
                failed_ = true;
                return false;
            } else {
                break;
            }
        }
        if (bytes.empty()) {
            return true;
        }
    }
    unsent_.append(bytes);
    AwaitDrained();
    return false;
}

void StreamConnection::AwaitDrained() {
    if (write_.Watching()) {
        write_.SetEnabled(true);
    } else {
        write_ = ReadinessWatch(handle_, ReadinessWatch::Kind::Write, [this](int) { Writable(); });
    }
}

void StreamConnection::ShutdownWrite() {
    ::shutdown(handle_, SHUT_WR);
}

bool StreamConnection::Flush() {
    while (Unsent() > 0) {
        const ssize_t sent = ::send(handle_, unsent_.data() + sentFrom_, Unsent(), MSG_NOSIGNAL);
        if (sent > 0) {
            sentFrom_ += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && !WouldBlock(errno)) {
            return false;
        } else {
            return true;
        }
    }
    return true;
}

void StreamConnection::Writable() {
    if (!Flush()) {
        failed_ = true;
        write_.SetEnabled(false);
        unsent_.clear();
        sentFrom_ = 0;
        const auto events = events_;
        events->Ended();  // last: the owner may destroy this object
        return;
    }
    if (Unsent() > 0) {
        return;
    }
    write_.SetEnabled(false);
    unsent_.clear();
    unsent_.shrink_to_fit();
    sentFrom_ = 0;
    const auto events = events_;
    events->Drained();  // last
}

void StreamConnection::Readable() {
    // One buffer for every connection of the loop's thread: a connection
    // holds no input of its own beyond what its owner keeps.
    thread_local std::array<char, READ_BYTES> buffer;
    const ssize_t count = ::recv(handle_, buffer.data(), buffer.size(), 0);
    if (count < 0 && (errno == EINTR || WouldBlock(errno))) {
        return;
    }
    const auto events = events_;
    if (count > 0) {
        events->Received(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    } else {
        events->Ended();
    }
    // Nothing more: the owner may have destroyed this object.
}

}  // namespace zel
