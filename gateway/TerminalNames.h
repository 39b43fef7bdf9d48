// TerminalNames: the names a shop gives its terminals, read from Conf.ini's
// optional [TERMINALES] section, one key per terminal address
// (10.1.2.21=Panaderia), for the monitor to show where it would show an
// address. A name is UTF-8 text of at most TERMINAL_NAME_MAX_CHARS
// characters. Pure.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

class CodePage;
class ConfIni;

inline constexpr std::size_t TERMINAL_NAME_MAX_CHARS = 40;

class TerminalNames {
public:
    // The name of the terminal at `address` (dotted IPv4, as the listener
    // reports it); empty when it has none.
    std::string_view NameOf(std::string_view address) const;
    std::size_t Size() const { return names_.size(); }

    // The [TERMINALES] section of `ini`. A key that is not an IPv4 address, a
    // name with a control character (ignored) and a name too long (cut) each
    // add one warning naming the key; an empty name is no name. The file's
    // text is converted from `codePage` when it is not UTF-8.
    static TerminalNames Read(const ConfIni& ini, const CodePage& codePage,
                              std::vector<std::string>& warnings);

private:
    std::map<std::string, std::string, std::less<>> names_;
};

}  // namespace zel
