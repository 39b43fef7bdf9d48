#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/WireFormat.h"

namespace zel {
namespace {

// A valid answer with one field's JSON text replaced (or removed when value is null).
std::string ReplyWith(const std::string& field, const char* value) {
    const std::pair<const char*, const char*> fields[] = {
        {"Result", "1"},         {"Codigo", "7501.0"},    {"Precio", "18.5"},
        {"Descrip", "\"Café\""}, {"Ban_Imps", "0"},       {"Tiene_Ofer", "0"},
        {"Fec_ini_ofer", "0.0"}, {"Fec_fin_ofer", "0.0"}, {"Pct_ofer", "0.0"},
        {"Imps_Act", "1"},       {"Mult", "1.0"},         {"Bans_Art", "0"},
        {"Precio_Sug", "0.0"}};
    std::string json = "{";
    for (const auto& [name, text] : fields) {
        const char* shown = name == field ? value : text;
        if (shown == nullptr) {
            continue;
        }
        json += (json.size() > 1 ? "," : "") + std::string("\"") + name + "\":" + shown;
    }
    return json + "}";
}

std::string WireErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const WireError& e) {
        return e.what();
    }
    return "(no error)";
}

BuscaPrecioCall WithCodigoAndPrecio(double codigo, double precio) {
    BuscaPrecioCall call;
    call.Codigo = codigo;
    call.Precio = precio;
    return call;
}

bool SameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(WireFormat, DoublesTravelExactly) {
    const double values[] = {0.1,
                             116.00000000000001,
                             1e-300,
                             7501000111206.0,
                             9999999999999.0,
                             9007199254740993.0,  // the double nearest, 2^53
                             9007199254740994.0,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::max(),
                             -0.0,
                             18.45,
                             1.0 / 3.0};
    for (const double v : values) {
        SCOPED_TRACE(v);
        BuscaPrecioCall call;
        call.Codigo = v;
        call.Precio = v;
        call.Mult = v;
        const BuscaPrecioCall back = DecodeBuscaPrecioReply(EncodeBuscaPrecioReply(call));
        EXPECT_TRUE(SameBits(back.Codigo, v));
        EXPECT_TRUE(SameBits(back.Precio, v));
        const BuscaPrecioCall req = DecodeBuscaPrecioRequest(EncodeBuscaPrecioRequest(call));
        EXPECT_TRUE(SameBits(req.Codigo, v));
        EXPECT_TRUE(SameBits(req.Mult, v));
    }
    EXPECT_NE(
        EncodeBuscaPrecioRequest(WithCodigoAndPrecio(7501000111206.0, 0)).find("7501000111206"),
        std::string::npos);
}

// The text a double travels as: its shortest digits, fixed notation from
// 1e-4 to below 1e15, the exponent form outside.
std::string TravelsAs(double v) {
    RowSet rows;
    rows.Columns = {{"v", "float"}};
    rows.Rows = {{v}};
    const std::string body = EncodeRowSet(rows);
    const auto start = body.find("[[") + 2;
    return body.substr(start, body.find("]]") - start);
}

TEST(WireFormat, DoublesAreWrittenInTheirShortestForm) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {18.5, "18.5"},
        {100.0, "100.0"},
        {7501000111206.0, "7501000111206.0"},
        {1e14, "100000000000000.0"},
        {1e15, "1e+15"},
        {123456789012345680.0, "1.2345678901234568e+17"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {0.000012, "1.2e-05"},
        {1e-300, "1e-300"},
        {-6.1668178221565e+233, "-6.1668178221565e+233"},
        {116.00000000000001, "116.00000000000001"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(TravelsAs(value), text);
    }
    // Random bit patterns: each reads back the same, and one digit fewer never does.
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    int checked = 0;
    while (checked < 20000) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        double v = 0;
        std::memcpy(&v, &state, sizeof v);
        if (!std::isfinite(v)) {
            continue;
        }
        ++checked;
        const std::string text = TravelsAs(v);
        ASSERT_TRUE(SameBits(std::strtod(text.c_str(), nullptr), v)) << text;
        int digits = 0;
        for (std::size_t i = text.front() == '-' ? 1 : 0; i < text.size() && text[i] != 'e'; ++i) {
            digits += std::isdigit(static_cast<unsigned char>(text[i])) ? 1 : 0;
        }
        if (digits > 1 && text.find('e') != std::string::npos) {
            char shorter[40];
            std::snprintf(shorter, sizeof shorter, "%.*e", digits - 2, v);
            ASSERT_FALSE(SameBits(std::strtod(shorter, nullptr), v)) << text << " " << shorter;
        }
    }
}

// An answer's text, byte for byte: names in order, integers, and strings
// escaped as JSON has them (UTF-8 kept, invalid bytes replaced).
TEST(WireFormat, AnswersAreWrittenByteForByte) {
    const std::pair<const char*, const char*> descriptions[] = {
        {"", R"("")"},
        {"Caf\xc3\xa9 1 kg", "\"Caf\xc3\xa9 1 kg\""},
        {"a\"b\\c/d", R"("a\"b\\c/d")"},
        {"tab\tline\n\x01\x7f", "\"tab\\tline\\n\\u0001\x7f\""},
        {"bad \xff byte", "\"bad \xef\xbf\xbd byte\""},
        {"\xf0\x9d\x84\x9e", "\"\xf0\x9d\x84\x9e\""},                  // four bytes, copied
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // overlong
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // a surrogate
    };
    for (const auto& [description, text] : descriptions) {
        BuscaPrecioCall call = WithCodigoAndPrecio(7501.0, 18.5);
        call.Result = -1;
        call.Imps_Act = 300;
        call.Descrip = description;
        EXPECT_EQ(EncodeBuscaPrecioReply(call),
                  std::string("{\"Ban_Imps\":0,\"Bans_Art\":0,\"Codigo\":7501.0,\"Descrip\":") +
                      text +
                      ",\"Fec_fin_ofer\":0.0,\"Fec_ini_ofer\":0.0,\"Imps_Act\":300,\"Mult\":0.0,"
                      "\"Pct_ofer\":0.0,\"Precio\":18.5,\"Precio_Sug\":0.0,\"Result\":-1,"
                      "\"Tiene_Ofer\":0}")
            << description;
    }
}

TEST(WireFormat, ChecksEveryFieldOfAnAnswer) {
    struct Case {
        const char* field;
        const char* value;  // null: left out
        const char* error;  // null: accepted
    };
    const Case cases[] = {
        {"Result", "127", nullptr},
        {"Result", "-128", nullptr},
        {"Result", "128", "\"Result\" 128 is outside 8 bits (-128 to 127)"},
        {"Result", "-129", "outside 8 bits"},
        {"Ban_Imps", "255", "outside 8 bits"},
        {"Tiene_Ofer", "1.0", "\"Tiene_Ofer\" 1.0 is not an integer"},
        {"Imps_Act", "32767", nullptr},
        {"Imps_Act", "-32768", nullptr},
        {"Imps_Act", "32768", "outside 16 bits"},
        {"Imps_Act", "65535", "outside 16 bits"},
        {"Bans_Art", "2147483647", nullptr},
        {"Bans_Art", "-2147483648", nullptr},
        {"Bans_Art", "2147483648", "outside 32 bits"},
        {"Bans_Art", "-2147483649", "outside 32 bits"},
        {"Bans_Art", "18446744073709551615", "outside 32 bits"},
        {"Imps_Act", "\"1\"", "not a number"},
        {"Precio", "\"18.5\"", "\"Precio\" is not a number"},
        {"Precio", "null", "not a number"},
        {"Precio", "18", nullptr},
        {"Codigo", "7501000111206", nullptr},
        {"Codigo", "9007199254740993", "no exact double"},
        {"Descrip", "5", "\"Descrip\" is not a string"},
        {"Result", nullptr, "\"Result\" is missing"},
        {"Codigo", nullptr, "\"Codigo\" is missing"},
        {"Precio", nullptr, "\"Precio\" is missing"},
        {"Descrip", nullptr, "\"Descrip\" is missing"},
        {"Ban_Imps", nullptr, "\"Ban_Imps\" is missing"},
        {"Tiene_Ofer", nullptr, "\"Tiene_Ofer\" is missing"},
        {"Fec_ini_ofer", nullptr, "\"Fec_ini_ofer\" is missing"},
        {"Fec_fin_ofer", nullptr, "\"Fec_fin_ofer\" is missing"},
        {"Pct_ofer", nullptr, "\"Pct_ofer\" is missing"},
        {"Imps_Act", nullptr, "\"Imps_Act\" is missing"},
        {"Mult", nullptr, "\"Mult\" is missing"},
        {"Bans_Art", nullptr, "\"Bans_Art\" is missing"},
        {"Precio_Sug", nullptr, "\"Precio_Sug\" is missing"},
    };
    for (const auto& c : cases) {
        const std::string body = ReplyWith(c.field, c.value);
        SCOPED_TRACE(body);
        const std::string error = WireErrorOf([&] { DecodeBuscaPrecioReply(body); });
        if (c.error == nullptr) {
            EXPECT_EQ(error, "(no error)");
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    const BuscaPrecioCall ok = DecodeBuscaPrecioReply(ReplyWith("Imps_Act", "-32768"));
    EXPECT_EQ(ok.Imps_Act, -32768);
    EXPECT_EQ(ok.Descrip, "Café");
    EXPECT_EQ(ok.Precio, 18.5);
}

TEST(WireFormat, ChecksARequest) {
    const BuscaPrecioCall r = DecodeBuscaPrecioRequest(
        R"({"Codigo":7501,"No_Precio":-1,"Descrip":"2 55 ","Mult":1,"Extra":[1,2]})");
    EXPECT_EQ(r.Codigo, 7501.0);
    EXPECT_EQ(r.No_Precio, -1);
    EXPECT_EQ(r.Descrip, "2 55 ");
    // A name given twice: the last value counts, whichever way the body is read.
    EXPECT_EQ(DecodeBuscaPrecioRequest(
                  R"({"Codigo":1,"No_Precio":0,"Descrip":"","Mult":1,"Codigo":7502})")
                  .Codigo,
              7502.0);
    struct Case {
        const char* body;
        const char* error;
    };
    const Case cases[] = {
        {R"({"Codigo":1,"No_Precio":128,"Descrip":"","Mult":1})", "outside 8 bits"},
        {R"({"Codigo":"1","No_Precio":0,"Descrip":"","Mult":1})", "\"Codigo\" is not a number"},
        {R"({"Codigo":1,"No_Precio":0,"Descrip":""})", "\"Mult\" is missing"},
        {R"({"Codigo":1,"No_Precio":0,"Mult":1})", "\"Descrip\" is missing"},
        {R"({"Codigo":1,"No_Precio":0,"Descrip":"","Mult":1} x)", "malformed JSON"},
        {R"({"Codigo":[1],"No_Precio":0,"Descrip":"","Mult":1})",
         "\"Codigo\" is not a number but [1]"},
        {"", "malformed JSON"},
        {"{", "malformed JSON"},
        {R"({"Codigo":})", "malformed JSON"},
        {R"({"Codigo":1e999,"No_Precio":0,"Descrip":"","Mult":1})", "malformed JSON"},
        {"\"texto\"", "not a JSON object"},
        {"[1]", "not a JSON object"},
        {"null", "not a JSON object"},
        {"{\"Descrip\":\"\xC3\"}", "malformed JSON"},  // broken UTF-8
        {"[[[[[[[[[[1]]]]]]]]]]", "nested deeper"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string error = WireErrorOf([&] { DecodeBuscaPrecioRequest(c.body); });
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(WireFormat, RefusesNumbersJsonCannotCarry) {
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()}) {
        EXPECT_NE(WireErrorOf([&] {
                      EncodeBuscaPrecioRequest(WithCodigoAndPrecio(bad, 0));
                  }).find("\"Codigo\" is not a finite number"),
                  std::string::npos);
        EXPECT_NE(WireErrorOf([&] {
                      EncodeBuscaPrecioReply(WithCodigoAndPrecio(0, bad));
                  }).find("\"Precio\" is not a finite number"),
                  std::string::npos);
    }
}

TEST(WireFormat, RowSetKeepsOrderTypesAndValues) {
    RowSet rows;
    rows.Columns = {{"PCT", "float"}, {"N", "integer"}, {"Nombre", "text"}};
    rows.Rows = {{16.0, std::int64_t{1}, std::string("I.V.A. tasa general ñ")},
                 {0.0, std::numeric_limits<std::int64_t>::min(), std::monostate{}},
                 {5.0, std::numeric_limits<std::int64_t>::max(), std::string("")}};
    const RowSet back = DecodeRowSet(EncodeRowSet(rows));
    ASSERT_EQ(back.Columns.size(), 3u);
    EXPECT_EQ(back.Columns[2].Name, "Nombre");
    EXPECT_EQ(back.Columns[0].Type, "float");
    EXPECT_EQ(back.Rows, rows.Rows);
    EXPECT_EQ(DecodeRowSet(R"({"Columns":[{"Name":"PCT","Type":"float"}],"Rows":[]})").Rows.size(),
              0u);
    // The type is informative: a server may leave it out.
    EXPECT_EQ(DecodeRowSet(R"({"Columns":[{"Name":"PCT"}],"Rows":[[16]]})").Columns[0].Type, "");
}

TEST(WireFormat, RefusesBrokenRowSets) {
    struct Case {
        const char* body;
        const char* error;
    };
    const Case cases[] = {
        {R"({"Rows":[]})", "\"Columns\" is missing"},
        {R"({"Columns":[]})", "\"Rows\" is missing"},
        {R"({"Columns":{},"Rows":[]})", "not an array"},
        {R"({"Columns":[{"Name":"A","Type":1}],"Rows":[]})", "\"Type\" is not a string"},
        {R"({"Columns":["A"],"Rows":[]})", "not an object"},
        {R"({"Columns":[{"Name":"A","Type":"any"}],"Rows":[[1,2]]})", "Rows[0] has 2 values"},
        {R"({"Columns":[{"Name":"A","Type":"any"}],"Rows":[[1],[]]})", "Rows[1] has 0 values"},
        {R"({"Columns":[{"Name":"A","Type":"any"}],"Rows":[[true]]})", "Rows[0][0] is true"},
        {R"({"Columns":[{"Name":"A","Type":"any"}],"Rows":[[[1]]]})", "Rows[0][0] is [1]"},
        {R"({"Columns":[{"Name":"A","Type":"any"}],"Rows":[[9223372036854775808]]})",
         "outside 64 bits"},
        {R"({"Columns":[{"Name":"A","Type":"any"}],"Rows":[5]})", "Rows[0] is not an array"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string error = WireErrorOf([&] { DecodeRowSet(c.body); });
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(WireFormat, ErrorsClassesAndPaths) {
    EXPECT_EQ(DecodeError(EncodeError("catálogo \"dañado\"")), "catálogo \"dañado\"");
    EXPECT_EQ(DecodeError("<html>Not Found</html>"), "");
    EXPECT_EQ(DecodeError(R"({"error":5})"), "");
    EXPECT_EQ(DecodeClassReply(EncodeClassReply("Srv_Zel.Data_Srv_Zel")), "Srv_Zel.Data_Srv_Zel");
    EXPECT_EQ(PercentEncode("Srv_Zel.Data_Srv_Zel"), "Srv_Zel.Data_Srv_Zel");
    EXPECT_EQ(PercentEncode("a b/ñ~"), "a%20b%2F%C3%B1~");
}

}  // namespace
}  // namespace zel
