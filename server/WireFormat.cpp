#include "server/WireFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/Text.h"

namespace zel {

namespace {

using Json = nlohmann::json;

// No body of this interface nests deeper than a row set: object, array, array.
constexpr int MAX_DEPTH = 4;
constexpr std::size_t MAX_QUOTED_VALUE = 40;

// Fixed notation for doubles from 1e-4 up to below 1e15, the exponent form
// ("1e+15", "2.5e-05") outside; a whole number keeps a ".0".
constexpr int FIXED_MIN_EXPONENT = -4;
constexpr int FIXED_MAX_EXPONENT = 14;

template <class Int>
void AppendInteger(std::string& out, Int value) {
    char buf[24];
    const auto written = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, written.ptr);
}

// The fewest significant digits that read back to the same double, laid out
// as above. std::to_chars gives the digits: exact, never one digit too many.
void AppendDouble(std::string& out, double value) {
    char buf[40];
    const auto written = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(written.ptr - buf));
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    char digitBuf[24];  // at most 17 significant digits
    std::size_t digitCount = 0;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digitBuf[digitCount++] = c;
        }
    }
    const std::string_view digits(digitBuf, digitCount);
    std::string_view exponentText = text.substr(e + 1);
    if (exponentText.front() == '+') {
        exponentText.remove_prefix(1);
    }
    int exponent = 0;
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);
    const auto count = static_cast<int>(digits.size());
    if (exponent < FIXED_MIN_EXPONENT || exponent > FIXED_MAX_EXPONENT) {
        out += digits.front();
        if (count > 1) {
            out += '.';
            out.append(digits.substr(1));
        }
        const int magnitude = exponent < 0 ? -exponent : exponent;
        out += exponent < 0 ? "e-" : "e+";
        if (magnitude < 10) {
            out += '0';
        }
        AppendInteger(out, magnitude);
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (count <= exponent + 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
        out += ".0";
    } else {
        out.append(digits.substr(0, static_cast<std::size_t>(exponent + 1)));
        out += '.';
        out.append(digits.substr(static_cast<std::size_t>(exponent + 1)));
    }
}

// A string as JSON text. Well-formed UTF-8 with nothing to escape, which is
// every name and nearly every value here, is copied as it is; anything else
// takes the library's escaping (control bytes, quotes, invalid UTF-8).
void AppendString(std::string& out, std::string_view text) {
    const bool plain =
        std::all_of(text.begin(), text.end(),
                    [](char c) {
                        return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
                    }) &&
        IsValidUtf8(text);
    if (plain) {
        out += '"';
        out += text;
        out += '"';
    } else {
        out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

void AppendJson(std::string& out, const Json& value) {
    if (value.is_number_float()) {
        AppendDouble(out, value.get<double>());
    } else if (value.is_number_unsigned()) {
        AppendInteger(out, value.get<std::uint64_t>());
    } else if (value.is_number_integer()) {
        AppendInteger(out, value.get<std::int64_t>());
    } else if (value.is_string()) {
        AppendString(out, value.get_ref<const std::string&>());
    } else if (value.is_object()) {
        out += '{';
        bool first = true;
        for (const auto& [name, member] : value.items()) {
            out += first ? "" : ",";
            first = false;
            AppendString(out, name);
            out += ':';
            AppendJson(out, member);
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (std::size_t i = 0; i < value.size(); ++i) {
            out += i == 0 ? "" : ",";
            AppendJson(out, value[i]);
        }
        out += ']';
    } else {
        out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

std::string Dump(const Json& value) {
    std::string out;
    AppendJson(out, value);
    return out;
}

// A value as it appears in a message, cut short when long.
std::string Shown(const Json& value) {
    std::string text = Dump(value);
    if (text.size() > MAX_QUOTED_VALUE) {
        text.resize(MAX_QUOTED_VALUE);
        text += "...";
    }
    return text;
}

Json ParseObject(std::string_view body) {
    Json parsed;
    try {
        parsed = Json::parse(body.begin(), body.end(), [](int depth, Json::parse_event_t, Json&) {
            if (depth > MAX_DEPTH) {
                throw WireError("JSON nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
            }
            return true;
        });
    } catch (const Json::exception& e) {
        throw WireError(std::string("malformed JSON: ") + e.what());
    }
    if (!parsed.is_object()) {
        throw WireError("the body is not a JSON object but " + Shown(parsed));
    }
    return parsed;
}

// The members of an object whose values are all scalars, read without
// building a tree: a lookup's request and answer are such objects, and the
// tree costs more than the lookup itself. A body that is anything else
// (nested members, a name given twice, broken JSON) is read as a tree, whose
// messages say what is wrong; both ways give the same values and errors.
//
// Not derived from nlohmann's json_sax: the parser takes any type with its
// callbacks, and a class without a vtable is one the sanitizers' type checks
// leave alone (they probe an object's memory through a pipe, which a
// process out of file handles cannot open).
class FlatObject {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    static constexpr std::size_t MAX_MEMBERS = 32;

    // False when the body is to be read as a tree.
    bool Read(std::string_view body) {
        return Json::sax_parse(body.begin(), body.end(), this) && done_;
    }

    const Json* find(const char* name) const {
        for (const auto& [key, value] : members_) {
            if (key == name) {
                return &value;
            }
        }
        return nullptr;
    }

    bool null() { return Add(Json(nullptr)); }
    bool boolean(bool v) { return Add(Json(v)); }
    bool number_integer(number_integer_t v) { return Add(Json(v)); }
    bool number_unsigned(number_unsigned_t v) { return Add(Json(v)); }
    bool number_float(number_float_t v, const string_t&) { return Add(Json(v)); }
    bool string(string_t& v) { return Add(Json(std::move(v))); }
    bool binary(binary_t&) { return false; }
    bool start_object(std::size_t) { return !std::exchange(open_, true); }
    bool key(string_t& name) {
        if (members_.size() == MAX_MEMBERS || find(name.c_str()) != nullptr) {
            return false;
        }
        name_ = std::move(name);
        return true;
    }
    bool end_object() { return done_ = true; }
    bool start_array(std::size_t) { return false; }
    bool end_array() { return false; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

private:
    bool Add(Json value) {
        if (!open_ || done_) {
            return false;  // a body that is not an object
        }
        members_.emplace_back(std::move(name_), std::move(value));
        return true;
    }

    std::vector<std::pair<std::string, Json>> members_;
    std::string name_;
    bool open_ = false;
    bool done_ = false;
};

static_assert(!std::is_polymorphic_v<FlatObject>,
              "no vtable: the sanitizers cannot check one out of file handles");

const Json* Find(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

const Json* Find(const FlatObject& object, const char* name) {
    return object.find(name);
}

template <class Object>
const Json& Field(const Object& object, const char* name) {
    const Json* value = Find(object, name);
    if (value == nullptr) {
        throw WireError(std::string("field \"") + name + "\" is missing");
    }
    return *value;
}

// What read() makes of the body's object, read flat when it can be.
template <class Read>
auto ReadObject(std::string_view body, Read read) {
    if (FlatObject flat; flat.Read(body)) {
        return read(flat);
    }
    return read(ParseObject(body));
}

template <class Object>
std::string ReadString(const Object& object, const char* name) {
    const Json& v = Field(object, name);
    if (!v.is_string()) {
        throw WireError(std::string("field \"") + name + "\" is not a string but " + Shown(v));
    }
    return v.get<std::string>();
}

// A double that the number converts to exactly.
double NumberAsDouble(const Json& v, const std::string& where) {
    constexpr double TWO_TO_63 = 9223372036854775808.0;
    if (v.is_number_float()) {
        return v.get<double>();
    }
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        const auto d = static_cast<double>(u);
        if (d >= 2 * TWO_TO_63 || static_cast<std::uint64_t>(d) != u) {
            throw WireError(where + " " + Shown(v) + " has no exact double");
        }
        return d;
    }
    if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        const auto d = static_cast<double>(i);
        if (d >= TWO_TO_63 || static_cast<std::int64_t>(d) != i) {
            throw WireError(where + " " + Shown(v) + " has no exact double");
        }
        return d;
    }
    throw WireError(where + " is not a number but " + Shown(v));
}

template <class Object>
double ReadDouble(const Object& object, const char* name) {
    return NumberAsDouble(Field(object, name), std::string("field \"") + name + "\"");
}

template <class Int, class Object>
Int ReadInt(const Object& object, const char* name) {
    const Json& v = Field(object, name);
    const std::string where = std::string("field \"") + name + "\"";
    constexpr auto lo = static_cast<std::int64_t>(std::numeric_limits<Int>::min());
    constexpr auto hi = static_cast<std::int64_t>(std::numeric_limits<Int>::max());
    const auto outside = [&] {
        return WireError(where + " " + Shown(v) + " is outside " + std::to_string(8 * sizeof(Int)) +
                         " bits (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
    };
    if (v.is_number_unsigned()) {
        if (v.get<std::uint64_t>() > static_cast<std::uint64_t>(hi)) {
            throw outside();
        }
        return static_cast<Int>(v.get<std::uint64_t>());
    }
    if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        if (i < lo || i > hi) {
            throw outside();
        }
        return static_cast<Int>(i);
    }
    if (v.is_number_float()) {
        throw WireError(where + " " + Shown(v) + " is not an integer");
    }
    throw WireError(where + " is not a number but " + Shown(v));
}

// An object written member by member, without a tree. A tree writes its
// members in name order; callers give them in that order, so the bytes are
// the same either way.
class ObjectWriter {
public:
    ObjectWriter() {
        out_.reserve(RESERVED_BYTES);
        out_ += '{';
    }

    ObjectWriter& Double(const char* name, double value) {
        if (!std::isfinite(value)) {
            throw WireError(std::string("field \"") + name + "\" is not a finite number");
        }
        Name(name);
        AppendDouble(out_, value);
        return *this;
    }
    ObjectWriter& Integer(const char* name, std::int64_t value) {
        Name(name);
        AppendInteger(out_, value);
        return *this;
    }
    ObjectWriter& String(const char* name, std::string_view value) {
        Name(name);
        AppendString(out_, value);
        return *this;
    }
    std::string Take() {
        out_ += '}';
        return std::move(out_);
    }

private:
    static constexpr std::size_t RESERVED_BYTES = 320;  // a lookup's answer, description included

    void Name(const char* name) {
        if (out_.size() > 1) {
            out_ += ',';
        }
        AppendString(out_, name);
        out_ += ':';
    }

    std::string out_;
};

}  // namespace

std::string EncodeBuscaPrecioRequest(const BuscaPrecioCall& call) {
    return ObjectWriter()
        .Double("Codigo", call.Codigo)
        .String("Descrip", call.Descrip)
        .Double("Mult", call.Mult)
        .Integer("No_Precio", call.No_Precio)
        .Take();
}

BuscaPrecioCall DecodeBuscaPrecioRequest(std::string_view body) {
    return ReadObject(body, [](const auto& j) {
        BuscaPrecioCall call;
        call.Codigo = ReadDouble(j, "Codigo");
        call.No_Precio = ReadInt<std::int8_t>(j, "No_Precio");
        call.Descrip = ReadString(j, "Descrip");
        call.Mult = ReadDouble(j, "Mult");
        return call;
    });
}

std::string EncodeBuscaPrecioReply(const BuscaPrecioCall& call) {
    return ObjectWriter()
        .Integer("Ban_Imps", call.Ban_Imps)
        .Integer("Bans_Art", call.Bans_Art)
        .Double("Codigo", call.Codigo)
        .String("Descrip", call.Descrip)
        .Double("Fec_fin_ofer", call.Fec_fin_ofer)
        .Double("Fec_ini_ofer", call.Fec_ini_ofer)
        .Integer("Imps_Act", call.Imps_Act)
        .Double("Mult", call.Mult)
        .Double("Pct_ofer", call.Pct_ofer)
        .Double("Precio", call.Precio)
        .Double("Precio_Sug", call.Precio_Sug)
        .Integer("Result", call.Result)
        .Integer("Tiene_Ofer", call.Tiene_Ofer)
        .Take();
}

BuscaPrecioCall DecodeBuscaPrecioReply(std::string_view body) {
    return ReadObject(body, [](const auto& j) {
        BuscaPrecioCall call;
        call.Result = ReadInt<std::int8_t>(j, "Result");
        call.Codigo = ReadDouble(j, "Codigo");
        call.Precio = ReadDouble(j, "Precio");
        call.Descrip = ReadString(j, "Descrip");
        call.Ban_Imps = ReadInt<std::int8_t>(j, "Ban_Imps");
        call.Tiene_Ofer = ReadInt<std::int8_t>(j, "Tiene_Ofer");
        call.Fec_ini_ofer = ReadDouble(j, "Fec_ini_ofer");
        call.Fec_fin_ofer = ReadDouble(j, "Fec_fin_ofer");
        call.Pct_ofer = ReadDouble(j, "Pct_ofer");
        call.Imps_Act = ReadInt<std::int16_t>(j, "Imps_Act");
        call.Mult = ReadDouble(j, "Mult");
        call.Bans_Art = ReadInt<std::int32_t>(j, "Bans_Art");
        call.Precio_Sug = ReadDouble(j, "Precio_Sug");
        return call;
    });
}

std::string EncodeGetRecordsRequest(const GetRecordsRequest& request) {
    return Dump(Json{{"ProviderName", request.ProviderName}, {"CommandText", request.CommandText}});
}

GetRecordsRequest DecodeGetRecordsRequest(std::string_view body) {
    return ReadObject(body, [](const auto& j) {
        return GetRecordsRequest{ReadString(j, "ProviderName"), ReadString(j, "CommandText")};
    });
}

std::string EncodeRowSet(const RowSet& rows) {
    Json columns = Json::array();
    for (const auto& c : rows.Columns) {
        columns.push_back(Json{{"Name", c.Name}, {"Type", c.Type}});
    }
    Json out = Json::array();
    for (std::size_t r = 0; r < rows.Rows.size(); ++r) {
        const auto& row = rows.Rows[r];
        if (row.size() != rows.Columns.size()) {
            throw WireError("row " + std::to_string(r) + " has " + std::to_string(row.size()) +
                            " values for " + std::to_string(rows.Columns.size()) + " columns");
        }
        Json values = Json::array();
        for (std::size_t c = 0; c < row.size(); ++c) {
            const FieldValue& field = row[c];
            if (const auto* d = std::get_if<double>(&field)) {
                if (!std::isfinite(*d)) {
                    throw WireError("Rows[" + std::to_string(r) + "][" + std::to_string(c) +
                                    "] is not a finite number");
                }
                values.push_back(*d);
            } else if (const auto* i = std::get_if<std::int64_t>(&field)) {
                values.push_back(*i);
            } else if (const auto* s = std::get_if<std::string>(&field)) {
                values.push_back(*s);
            } else {
                values.push_back(nullptr);
            }
        }
        out.push_back(std::move(values));
    }
    return Dump(Json{{"Columns", std::move(columns)}, {"Rows", std::move(out)}});
}

RowSet DecodeRowSet(std::string_view body) {
    const Json j = ParseObject(body);
    const Json& columns = Field(j, "Columns");
    const Json& rows = Field(j, "Rows");
    if (!columns.is_array()) {
        throw WireError("field \"Columns\" is not an array");
    }
    if (!rows.is_array()) {
        throw WireError("field \"Rows\" is not an array");
    }
    RowSet set;
    for (const Json& c : columns) {
        if (!c.is_object()) {
            throw WireError("a column is not an object but " + Shown(c));
        }
        // The type is informative: a server may leave it out.
        set.Columns.push_back(
            {ReadString(c, "Name"), c.contains("Type") ? ReadString(c, "Type") : ""});
    }
    set.Rows.reserve(rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const Json& row = rows[r];
        const std::string where = "Rows[" + std::to_string(r) + "]";
        if (!row.is_array()) {
            throw WireError(where + " is not an array but " + Shown(row));
        }
        if (row.size() != set.Columns.size()) {
            throw WireError(where + " has " + std::to_string(row.size()) + " values for " +
                            std::to_string(set.Columns.size()) + " columns");
        }
        std::vector<FieldValue> values;
        values.reserve(row.size());
        for (std::size_t c = 0; c < row.size(); ++c) {
            const Json& v = row[c];
            if (v.is_null()) {
                values.emplace_back(std::monostate{});
            } else if (v.is_number_float()) {
                values.emplace_back(v.get<double>());
            } else if (v.is_number_unsigned()) {
                if (v.get<std::uint64_t>() >
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                    throw WireError(where + "[" + std::to_string(c) + "] " + Shown(v) +
                                    " is outside 64 bits");
                }
                values.emplace_back(static_cast<std::int64_t>(v.get<std::uint64_t>()));
            } else if (v.is_number_integer()) {
                values.emplace_back(v.get<std::int64_t>());
            } else if (v.is_string()) {
                values.emplace_back(v.get<std::string>());
            } else {
                throw WireError(where + "[" + std::to_string(c) + "] is " + Shown(v) +
                                "; a value is null, a number or a string");
            }
        }
        set.Rows.push_back(std::move(values));
    }
    return set;
}

std::string EncodeClassReply(std::string_view className) {
    return Dump(Json{{"class", std::string(className)}, {"api", API_VERSION}});
}

std::string DecodeClassReply(std::string_view body) {
    return ReadString(ParseObject(body), "class");
}

std::string EncodeError(std::string_view message) {
    return Dump(Json{{"error", std::string(message)}});
}

std::string DecodeError(std::string_view body) {
    try {
        const Json j = ParseObject(body);
        const auto it = j.find("error");
        if (it != j.end() && it->is_string()) {
            return it->get<std::string>();
        }
    } catch (const WireError&) {
    }
    return {};
}

std::string PercentEncode(std::string_view text) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 0x0F];
        }
    }
    return out;
}

}  // namespace zel
