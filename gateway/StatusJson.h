// StatusJson: the monitor's /status answer, the figures of one snapshot as
// JSON: the gateway, the application server and every connected terminal
// with its last result as the terminal was shown it. Pure.
#pragma once

#include <string>

#include "gateway/GatewayStats.h"

namespace zel {

// Text that is not valid UTF-8 (an error message quoting a server's bytes) is
// mended, never refused: the answer is always valid JSON.
std::string StatusJsonOf(const StatsSnapshot& snapshot);

}  // namespace zel
