#include "net/ApplicationException.h"

#include <cstdio>
#include <utility>

namespace zel {
namespace {

ApplicationExceptionHandler& CurrentHandler() {
    static ApplicationExceptionHandler handler;
    return handler;
}

void PrintToStderr(const std::string& message) noexcept {
    std::fprintf(stderr, "%s\n", message.c_str());
}

}  // namespace

ApplicationExceptionHandler SetApplicationExceptionHandler(ApplicationExceptionHandler handler) {
    return std::exchange(CurrentHandler(), std::move(handler));
}

void HandleApplicationException(const std::exception& error) noexcept {
    if (dynamic_cast<const EAbort*>(&error) != nullptr)
        return;
    try {
        if (const auto& handler = CurrentHandler())
            handler(error);
        else
            PrintToStderr(WithFullStop(error.what()));
    } catch (const std::exception& failure) {
        PrintToStderr(WithFullStop(error.what()));
        PrintToStderr(std::string("exception handler failed: ") + failure.what());
    } catch (...) {
        PrintToStderr(WithFullStop(error.what()));
    }
}

std::string WithFullStop(std::string message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        message += '.';
    return message;
}

}  // namespace zel
