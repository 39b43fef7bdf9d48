// WireFormat: the JSON bodies of the application-server interface, written
// and read in one place for both ends (the gateway's client and srv_zel).
//
// Readers check every field: presence, JSON type, integer width, exact
// doubles. A body that breaks the contract throws WireError naming the field
// and the value; the client turns it into a ServerError, the server into a
// 400 answer. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "server/RowSet.h"
#include "server/ServerError.h"

namespace zel {

class WireError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Paths of the three calls.
inline constexpr std::string_view CLASSES_PATH = "/v1/classes/";
inline constexpr std::string_view GET_RECORDS_PATH = "/v1/AS_GetRecords";
inline constexpr std::string_view BUSCA_PRECIO_PATH = "/v1/BuscaPrecio";
inline constexpr int API_VERSION = 1;

// Every parameter of one BuscaPrecio call plus its result, as they travel.
struct BuscaPrecioCall {
    std::int8_t Result = 0;
    double Codigo = 0;
    std::int8_t No_Precio = 0;
    double Precio = 0;
    std::string Descrip;  // UTF-8
    std::int8_t Ban_Imps = 0;
    std::int8_t Tiene_Ofer = 0;
    double Fec_ini_ofer = 0;
    double Fec_fin_ofer = 0;
    double Pct_ofer = 0;
    std::int16_t Imps_Act = 0;
    double Mult = 0;
    std::int32_t Bans_Art = 0;
    double Precio_Sug = 0;
};

struct GetRecordsRequest {
    std::string ProviderName;
    std::string CommandText;
};

// BuscaPrecio: the request carries Codigo, No_Precio, Descrip and Mult; the
// answer carries Result and the twelve parameters that come out.
std::string EncodeBuscaPrecioRequest(const BuscaPrecioCall& call);
BuscaPrecioCall DecodeBuscaPrecioRequest(std::string_view body);
std::string EncodeBuscaPrecioReply(const BuscaPrecioCall& call);
BuscaPrecioCall DecodeBuscaPrecioReply(std::string_view body);

std::string EncodeGetRecordsRequest(const GetRecordsRequest& request);
GetRecordsRequest DecodeGetRecordsRequest(std::string_view body);
std::string EncodeRowSet(const RowSet& rows);
RowSet DecodeRowSet(std::string_view body);

// The handshake answer: {"class": ..., "api": 1}. Decode returns the class.
std::string EncodeClassReply(std::string_view className);
std::string DecodeClassReply(std::string_view body);

// {"error": text}. Decode returns the text, or empty when the body is not such an object.
std::string EncodeError(std::string_view message);
std::string DecodeError(std::string_view body);

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ (a class name in a path).
std::string PercentEncode(std::string_view text);

}  // namespace zel
