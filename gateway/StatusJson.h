// StatusJson: the monitor's answers made of figures. /status, one snapshot as
// JSON: the gateway, the application server, every connected terminal with
// its last result as the terminal was shown it, the terminals that left, the
// codes not found and the last hour; and the codes not found as CSV for a
// back office to import. Pure.
#pragma once

#include <string>
#include <vector>

#include "gateway/GatewayStats.h"

namespace zel {

// Text that is not valid UTF-8 (an error message quoting a server's bytes) is
// mended, never refused: the answer is always valid JSON.
std::string StatusJsonOf(const StatsSnapshot& snapshot);

// RFC 4180 (CRLF, UTF-8, a header row): code, count, first and last scan
// (RFC 3339, UTC), and the terminals that scanned it by name and address.
std::string NotFoundCsvOf(const std::vector<NotFoundCode>& codes, const TerminalNames* names);

}  // namespace zel
