// Text to number: integers and decimals as Conf.ini values are read.
#include <cmath>
#include <cstdint>

#include "FuzzInput.h"
#include "gateway/TextToNumber.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    const std::string separator = input.Text(2);
    const std::string text = input.Rest();
    (void)zel::TextToInt32(text);
    if (const auto value = zel::TextToDouble(text, separator.empty() ? "." : separator)) {
        zel::fuzz::Check(!std::isnan(*value) || text.find_first_of("nN") != std::string::npos,
                         "NaN from a text without one");
    }
    return 0;
}
