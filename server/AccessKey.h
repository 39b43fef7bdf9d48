// AccessKey: the shared secret a gateway shows srv_zel as
// "Authorization: Bearer <key>". Both read it from a file of its own (kept
// out of the world-readable Conf.ini), and srv_zel compares it in constant
// time.
#pragma once

#include <string>
#include <string_view>

namespace zel {

inline constexpr std::string_view BEARER_PREFIX = "Bearer ";

// The file's text without the line end and blanks around it. Throws
// ServerError naming the file and the reason when it cannot be read, is
// empty, or holds a byte a header cannot carry.
std::string ReadAccessKey(const std::string& path);

// Whether the Authorization header carries the key. The time taken does not
// depend on where the two differ, nor on the header's length.
bool CarriesAccessKey(std::string_view authorization, std::string_view key);

}  // namespace zel
