// FrameMessage: the frame each terminal type expects around a screen.
#include "gateway/Framing.h"

#include "gateway/Constants.h"

namespace zel {

std::string FrameMessage(std::string text, std::uint8_t tipo) {
    text.push_back(ETX);
    std::string frame;
    frame.reserve(text.size() + 3);
    frame.push_back(STX);
    frame += text;
    if (tipo == 0) {
        // The block check covers the text and its ETX, nothing else.
        unsigned char bcc = 0;
        for (char c : text) {
            bcc ^= static_cast<unsigned char>(c);
        }
        frame.push_back(static_cast<char>(bcc));
    }
    frame.push_back(EOT);
    return frame;
}

}  // namespace zel
