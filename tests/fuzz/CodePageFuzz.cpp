// The code-page conversions, both ways, and the one-byte-per-character screen text.
#include <cstdint>

#include "FuzzInput.h"
#include "money/CodePage.h"
#include "money/Unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const zel::CodePage pages[] = {zel::CodePage("WINDOWS-1252"), zel::CodePage("CP850"),
                                          zel::CodePage("ISO-8859-15")};
    zel::fuzz::FuzzInput input(data, size);
    const zel::CodePage& page = pages[input.Take<std::uint8_t>() % 3];
    const std::string bytes = input.Rest();

    const std::string utf8 = page.ToUtf8(bytes);
    zel::fuzz::Check(utf8.size() <= 3 * bytes.size(), "ToUtf8 over 3 bytes per byte");
    (void)page.FromUtf8(bytes);

    const std::u32string composed = zel::ComposeNfc(zel::DecodeUtf8(bytes));
    zel::fuzz::Check(page.ScreenText(bytes).size() == composed.size(),
                     "screen text not one byte per composed character");
    return 0;
}
