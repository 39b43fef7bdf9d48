// FrameMessage: wraps a screen text in the frame of the terminal type.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

// Type 0 (tipo == 0): STX text ETX BCC EOT, BCC = XOR of text and ETX.
// Any other tipo:      STX text ETX EOT.
// Nothing is escaped.
std::string FrameMessage(std::string text, std::uint8_t tipo);

}  // namespace zel
