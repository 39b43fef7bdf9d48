#include "net/SocketError.h"

#include <cerrno>
#include <system_error>

namespace zel {

std::string SocketErrorMessage(int code, std::string_view api) {
    // system_category().message is the platform's own text, and safe to call
    // from any thread (unlike strerror).
    return "Windows socket error: " + std::system_category().message(code) + " (" +
           std::to_string(code) + "), on API '" + std::string(api) + "'";
}

std::string AsyncSocketErrorMessage(int code) {
    return "Asynchronous socket error " + std::to_string(code);
}

void RaiseSocketError(int code, std::string_view api) {
    throw ESocketError(SocketErrorMessage(code, api));
}

bool WouldBlock(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

}  // namespace zel
