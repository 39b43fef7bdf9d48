// Helpers of the window's tests: running the event loop until something
// ends it, and a gateway set up against srv_zel serving a demo catalogue
// in-process on a free loopback port (the server tests' scaffolding).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "../srv_zel/Catalogue.h"
#include "gateway/TFMain.h"

namespace zel::test {

// Runs `action` from inside the application's event loop and returns the
// loop's exit status; -1 when nothing ended the loop within five seconds.
int ExecAfter(const std::function<void()>& action);
// Lets the loop run until `done` holds; false when it still does not after 5 s.
bool WaitUntil(const std::function<bool()>& done);

// Writes the demo catalogue into `dir` and returns its path.
std::string DemoCatalogue(const TempDir& dir);

// A gateway whose Conf.ini (named by ZEL_CONF) points at `serverAddress` and
// listens on `terminalPort` (0: any free port).
class GatewayUnderTest {
public:
    GatewayUnderTest(const TempDir& dir, const std::string& serverAddress, int terminalPort = 0);
    ~GatewayUnderTest();
    TFMain& Gateway() { return *gateway_; }

private:
    std::unique_ptr<TFMain> gateway_;
};

}  // namespace zel::test
