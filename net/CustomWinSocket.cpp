#include "net/CustomWinSocket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace zel {

TCustomWinSocket::~TCustomWinSocket() {
    CloseQuietly();
}

std::string TCustomWinSocket::AddressText() const {
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &address_.sin_addr, text, sizeof text);
    return text;
}

std::uint16_t TCustomWinSocket::AddressPort() const {
    return ntohs(address_.sin_port);
}

void TCustomWinSocket::Close() {
    Disconnect(handle_);
}

void TCustomWinSocket::Accept(int) {}

void TCustomWinSocket::Disconnect(int Socket) {
    AssertLoopThread();
    // A stale handle, or a close already under way (a disconnect handler
    // that closes again): nothing more to do.
    if (Socket == -1 || Socket != handle_ || closing_)
        return;
    closing_ = true;
    // The handle is closed even when the disconnect handler throws; its
    // exception goes on afterwards.
    std::exception_ptr raised;
    try {
        Event(TSocketEvent::seDisconnect);
    } catch (...) {
        raised = std::current_exception();
    }
    closing_ = false;
    // The disconnect handler may have released the socket already.
    if (handle_ != Socket) {
        if (raised)
            std::rethrow_exception(raised);
        return;
    }
    // No notification may reach a handle number the system can hand out again.
    readWatch_.Reset();
    writeWatch_.Reset();
    const int result = ::close(handle_);
    const int code = errno;
    ResetState();
    if (raised)
        std::rethrow_exception(raised);
    // EINTR: the handle is released all the same on the platforms we run on.
    if (result != 0 && code != EINTR)
        RaiseSocketError(code, "closesocket");
}

void TCustomWinSocket::Write(int Socket) {
    if (Socket != -1 && Socket == handle_)
        Event(TSocketEvent::seWrite);
}

void TCustomWinSocket::Event(TSocketEvent event) {
    if (onEvent_)
        onEvent_(*this, event);
}

void TCustomWinSocket::Error(TErrorEvent kind, int& code) {
    Reported(code);
    if (onError_)
        onError_(*this, kind, code);
}

void TCustomWinSocket::CloseQuietly() noexcept {
    AssertLoopThread();
    readWatch_.Reset();
    writeWatch_.Reset();
    if (handle_ != -1)
        ::close(handle_);
    ResetState();
}

void TCustomWinSocket::ResetState() noexcept {
    handle_ = -1;
    connected_ = false;
    address_ = sockaddr_in{};
    address_.sin_family = AF_INET;
    DropPendingOutput();
}

}  // namespace zel
