// The application's exception handler: where an exception goes that leaves
// the handling of one event of the loop.
//
// The program sets it once (the gateway shows the message in its error box);
// until then, and after it is reset with an empty function, the message goes
// to stderr with the standard full-stop rule. `EAbort` ends the current
// operation silently: the handler never sees it.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace zel {

using ApplicationExceptionHandler = std::function<void(const std::exception&)>;

// An exception that only aborts what is being done, showing nothing.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

// Sets the handler and returns the one it replaces (empty: the default).
ApplicationExceptionHandler SetApplicationExceptionHandler(ApplicationExceptionHandler handler);

// Passes `error` to the handler; drops `EAbort`. Never throws: a handler that
// throws in turn is reported on stderr.
void HandleApplicationException(const std::exception& error) noexcept;

// The message as the standard error box shows it: a full stop is added when
// the last byte sorts after "." (so "... error 104" ends "104." while
// "... on API 'bind'" stays as it is).
std::string WithFullStop(std::string message);

}  // namespace zel
