// Errors of the terminal listener.
//
// `ESocketError` is the one exception the listener raises; `TErrorEvent` is
// the kind of error handed to `OnClientError`. The helpers build the
// listener's message texts, byte for byte the same on every platform.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace zel {

// Kinds of socket error, in their fixed order 0 to 6.
enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

class ESocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::string_view CANT_CREATE_SOCKET = "Can't create new socket";
inline constexpr std::string_view CANT_CHANGE_WHILE_ACTIVE =
    "Can't change value while socket is active";

// "Windows socket error: <system text> (<code>), on API '<api>'".
std::string SocketErrorMessage(int code, std::string_view api);

// "Asynchronous socket error <code>".
std::string AsyncSocketErrorMessage(int code);

[[noreturn]] void RaiseSocketError(int code, std::string_view api);

// A non-blocking call that could not proceed now: never an error.
bool WouldBlock(int code);

}  // namespace zel
