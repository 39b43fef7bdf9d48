// The server's answers as the gateway's client decodes them.
#include <cstdint>

#include "FuzzInput.h"
#include "server/RowSet.h"
#include "server/WireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel::fuzz::FuzzInput input(data, size);
    const int which = input.Take<std::uint8_t>() % 4;
    const std::string body = input.Rest();
    try {
        switch (which) {
            case 0: {
                const zel::BuscaPrecioCall reply = zel::DecodeBuscaPrecioReply(body);
                // What decodes encodes again and reads back the same.
                const zel::BuscaPrecioCall again =
                    zel::DecodeBuscaPrecioReply(zel::EncodeBuscaPrecioReply(reply));
                zel::fuzz::Check(again.Descrip == reply.Descrip && again.Result == reply.Result,
                                 "reply does not read back");
                break;
            }
            case 1: {
                const zel::RowSet rows = zel::DecodeRowSet(body);
                zel::fuzz::Check(
                    zel::DecodeRowSet(zel::EncodeRowSet(rows)).Rows.size() == rows.Rows.size(),
                    "row set does not read back");
                break;
            }
            case 2:
                (void)zel::DecodeClassReply(body);
                break;
            default:
                (void)zel::DecodeError(body);
                break;
        }
    } catch (const zel::WireError&) {
        // A malformed answer: the client turns it into a ServerError.
    }
    return 0;
}
