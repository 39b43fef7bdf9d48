// The terminal's display: what it shows after each screen it receives.
//
// 0x0B clears the display and puts the cursor on the first row; 0x0D starts a
// new row; every other byte takes one column. On type 0 a row holds 30
// columns and the next character goes on a new row (a row that is exactly
// full and then broken by 0x0D gives no blank row); type 1 does not wrap.
// A screen that does not open with 0x0B is written over what is shown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

class Display {
public:
    explicit Display(std::uint8_t type) : type_(type) {}

    void Show(std::string_view screen);

    // The rows in use, top to bottom, as bytes of the terminal code page. A
    // last row that holds only the cursor is left out.
    std::vector<std::string> Lines() const;

private:
    std::uint8_t type_;
    std::vector<std::string> rows_{std::string()};
};

}  // namespace zel
