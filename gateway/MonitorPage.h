// MonitorPage: the technician's page the monitor serves on GET /, one HTML
// document with its style and script inside (a shop may have no internet).
// It reads /status every 2 s and sets every text it shows as text.
#pragma once

#include <string_view>

namespace zel {

std::string_view MonitorPage();

}  // namespace zel
