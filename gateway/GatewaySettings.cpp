// Reading Conf.ini into GatewaySettings, with the fallback set for numbers
// that do not convert.
#include "gateway/GatewaySettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "gateway/ConfIni.h"
#include "gateway/Constants.h"
#include "gateway/TextToNumber.h"
#include "money/CodePage.h"

namespace zel {

namespace {

constexpr std::string_view kConfName = "Conf.ini";
constexpr std::string_view kDefaultIdleLine = "******************************";
constexpr std::int32_t kDefaultConexiones = 16;
constexpr std::int32_t kMaxConexiones = 256;
constexpr std::int32_t kDefaultLimiteConsulta = 5000;
constexpr std::int32_t kMaxLimiteConsulta = 3600000;  // an hour
static_assert(kDefaultIdleLine.size() == SCREEN_COLUMNS);

// The program's own defaults, written with "." whatever the regional settings.
constexpr std::int32_t kDefaultPrecio = 1;
constexpr std::int32_t kDefaultImpsIncluido = 1;
constexpr std::int32_t kDefaultPort = 6000;
constexpr double kDefaultCoin = 0.01;
constexpr double kDefaultRoundingPoint = 0.005;
constexpr std::int32_t kDefaultEspera = 2000;

// What replaces the price options, port, coin, rounding point and pause when
// one of them does not convert.
constexpr std::int32_t kFallbackPriceOptions = 25;
constexpr std::int32_t kFallbackPort = 6000;
constexpr double kFallbackCoin = kDefaultCoin;
constexpr double kFallbackRoundingPoint = kDefaultRoundingPoint;
constexpr std::int32_t kFallbackEspera = 2000;
constexpr std::string_view kFallbackDescription =
    "using the fallback settings (price options 25: price list index 1, taxes included; "
    "port 6000; coin 0.01; rounding point 0.005; pause 2000 ms)";

// Above this a pause in mode 0 holds every terminal for longer than anyone waits.
constexpr std::int32_t kLongestSensiblePause = 60000;

// One value that failed to convert, named for the warning.
struct BadValue {
    std::string_view section;
    std::string_view key;
    std::string value;  // UTF-8, for people
    std::string_view kind;
};

class ValueReader {
public:
    ValueReader(const ConfIni& ini, std::string_view decimalSeparator, const CodePage& codePage)
        : ini_(ini), decimalSeparator_(decimalSeparator), codePage_(codePage) {}

    // The value as terminal code page bytes, one per character, or nothing
    // when it is missing.
    std::optional<std::string> Text(std::string_view section, std::string_view key) const {
        auto value = ini_.Find(section, key);
        if (value && ini_.IsUtf8()) {
            *value = codePage_.ScreenText(*value);
        }
        return value;
    }

    // A missing key gives the default; a written one must convert.
    std::int32_t Integer(std::string_view section, std::string_view key,
                         std::int32_t defaultValue) const {
        const auto written = ini_.Find(section, key);
        if (!written) {
            return defaultValue;
        }
        const auto value = TextToInt32(ToCodePage(*written));
        if (!value) {
            throw BadValue{section, key, ForPeople(*written), "an integer"};
        }
        return *value;
    }

    double Decimal(std::string_view section, std::string_view key, double defaultValue) const {
        const auto written = ini_.Find(section, key);
        if (!written) {
            return defaultValue;
        }
        const auto value = TextToDouble(ToCodePage(*written), decimalSeparator_);
        if (!value) {
            throw BadValue{section, key, ForPeople(*written), "a decimal number"};
        }
        return *value;
    }

private:
    std::string ToCodePage(const std::string& written) const {
        return ini_.IsUtf8() ? codePage_.FromUtf8(written) : written;
    }

    std::string ForPeople(const std::string& written) const {
        return ini_.IsUtf8() ? written : codePage_.ToUtf8(written);
    }

    const ConfIni& ini_;
    std::string_view decimalSeparator_;
    const CodePage& codePage_;
};

std::string Warning(const BadValue& bad, std::string_view consequence) {
    std::string w = "Conf.ini [";
    w += bad.section;
    w += "] ";
    w += bad.key;
    w += " = \"";
    w += bad.value;
    w += "\" is not ";
    w += bad.kind;
    w += "; ";
    w += consequence;
    return w;
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Values that convert but that the price and pause arithmetic, kept exactly as
// it is, cannot serve well.
void WarnOfHarmfulValues(const GatewaySettings& s, std::vector<std::string>& warnings) {
    const double coin = s.MONEDA_MINIMA;
    const double point = s.PUNTO_REDONDEO;
    if (!(coin > 0)) {
        warnings.push_back("Conf.ini [GENERAL] MONEDA_MINIMA = " + Number(coin) +
                           " is not a positive coin; found articles get no price or a wrong one "
                           "(set the smallest coin, e.g. 0.01)");
    } else if (!(point >= 0 && point < coin)) {
        warnings.push_back("Conf.ini [GENERAL] PUNTO_REDONDEO = " + Number(point) +
                           " is outside 0 up to the coin (" + Number(coin) +
                           "); prices are rounded wrongly, exact prices can show one coin low "
                           "(set half the coin, e.g. 0.005)");
    }
    if (s.ESPERA > kLongestSensiblePause) {
        warnings.push_back("Conf.ini [GENERAL] ESPERA = " + std::to_string(s.ESPERA) +
                           " ms is over 60 s; with PAUSA_POR_TERMINAL=0 every terminal waits "
                           "that long after each result screen");
    }
}

// Plain 32-bit two's-complement arithmetic: wraps, never overflows.
std::int32_t Wrap(std::uint32_t bits) {
    return static_cast<std::int32_t>(bits);
}

}  // namespace

ConfigReading ReadConfIni(const std::optional<std::string>& fileText,
                          std::string_view decimalSeparator, const CodePage& codePage) {
    const ConfIni ini(fileText ? std::string_view(*fileText) : std::string_view());
    const ValueReader reader(ini, decimalSeparator, codePage);
    ConfigReading out;
    GatewaySettings& s = out.Settings;

    // The address names a machine: its bytes are kept as written.
    s.ServerAddress = ini.Read("SRV_ZEL", "IP", "");
    // File names, kept as written like the address.
    s.ServerCa = ini.Read("SRV_ZEL", "CA", "");
    s.ServerKeyFile = ini.Read("SRV_ZEL", "CLAVE_ARCHIVO", "");

    const auto applyFallback = [&out, &s] {
        s.PriceOptions = kFallbackPriceOptions;
        out.Port = kFallbackPort;
        s.MONEDA_MINIMA = kFallbackCoin;
        s.PUNTO_REDONDEO = kFallbackRoundingPoint;
        s.ESPERA = kFallbackEspera;
    };

    // The numbers in their order; the first that does not convert ends this
    // part, and the fallback replaces all five values together.
    bool fellBack = false;
    try {
        const std::int32_t precio = reader.Integer("GENERAL", "PRECIO", kDefaultPrecio);
        s.PriceOptions = Wrap(static_cast<std::uint32_t>(precio) - 1u);
        const std::int32_t imps = reader.Integer("GENERAL", "IMPS_INCLUIDO", kDefaultImpsIncluido);
        s.PriceOptions = Wrap(static_cast<std::uint32_t>(s.PriceOptions) |
                              (static_cast<std::uint32_t>(imps) * 8u));
        out.Port = reader.Integer("TCP", "PUERTO", kDefaultPort);
        s.MONEDA_MINIMA = reader.Decimal("GENERAL", "MONEDA_MINIMA", kDefaultCoin);
        s.PUNTO_REDONDEO = reader.Decimal("GENERAL", "PUNTO_REDONDEO", kDefaultRoundingPoint);
        s.ESPERA = reader.Integer("GENERAL", "ESPERA", kDefaultEspera);
    } catch (const BadValue& bad) {
        applyFallback();
        fellBack = true;
        out.Warnings.push_back(Warning(bad, kFallbackDescription));
    }

    // The terminal type is read whatever happened before it; a bad one is
    // type 0 and, as the last of the numbers, brings the fallback too.
    try {
        s.TIPO = static_cast<std::uint8_t>(
            static_cast<std::uint32_t>(reader.Integer("GENERAL", "TIPO", 0)) & 0xFFu);
    } catch (const BadValue& bad) {
        s.TIPO = 0;
        if (!fellBack) {
            applyFallback();
        }
        out.Warnings.push_back(Warning(
            bad, "using terminal type 0 and " +
                     std::string(kFallbackDescription.substr(std::string_view("using ").size()))));
    }

    for (int n = 1; n <= IDLE_LINE_COUNT; ++n) {
        const std::string key = "M" + std::to_string(n);
        std::string line = reader.Text("MENSAJES", key).value_or(std::string(kDefaultIdleLine));
        line.resize(std::min<std::size_t>(line.size(), SCREEN_COLUMNS));
        s.IdleLines[static_cast<std::size_t>(n - 1)] = std::move(line);
    }

    try {
        s.PAUSA_POR_TERMINAL = reader.Integer("GENERAL", "PAUSA_POR_TERMINAL", 0);
    } catch (const BadValue& bad) {
        s.PAUSA_POR_TERMINAL = 0;
        out.Warnings.push_back(Warning(bad, "using 0"));
    }

    // The lookup limits: each on its own, never bringing the fallback.
    const auto bounded = [&](std::string_view key, std::int32_t fallback, std::int32_t lowest,
                             std::int32_t highest) {
        try {
            const std::int32_t value = reader.Integer("SRV_ZEL", key, fallback);
            if (value >= lowest && value <= highest) {
                return value;
            }
            out.Warnings.push_back("Conf.ini [SRV_ZEL] " + std::string(key) + " = " +
                                   std::to_string(value) + " is outside " + std::to_string(lowest) +
                                   " to " + std::to_string(highest) + "; using " +
                                   std::to_string(fallback));
        } catch (const BadValue& bad) {
            out.Warnings.push_back(Warning(bad, "using " + std::to_string(fallback)));
        }
        return fallback;
    };
    s.CONEXIONES = bounded("CONEXIONES", kDefaultConexiones, 1, kMaxConexiones);
    s.LIMITE_CONSULTA = bounded("LIMITE_CONSULTA", kDefaultLimiteConsulta, 1, kMaxLimiteConsulta);
    std::string outOfService = reader.Text("MENSAJES", "SIN_SERVICIO").value_or("");
    outOfService.resize(std::min<std::size_t>(outOfService.size(), SCREEN_COLUMNS));
    s.SIN_SERVICIO = std::move(outOfService);
    s.Names = TerminalNames::Read(ini, codePage, out.Warnings);
    // Read last: the status and metrics endpoint, as text (checked when it opens).
    s.MonitorAddress = reader.Text("MONITOR", "DIRECCION").value_or(s.MonitorAddress);
    WarnOfHarmfulValues(s, out.Warnings);
    return out;
}

std::filesystem::path ConfIniPath() {
    if (const char* named = std::getenv("ZEL_CONF"); named != nullptr && *named != '\0') {
        return std::filesystem::path(named);
    }
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return std::filesystem::path(kConfName);  // no way to find the executable: here
    }
    return exe.parent_path() / kConfName;
}

std::optional<std::string> LoadConfIniText(const std::filesystem::path& path, std::string* reason) {
    const auto fail = [reason](std::string why) -> std::optional<std::string> {
        if (reason != nullptr) {
            *reason = std::move(why);
        }
        return std::nullopt;
    };
    // Non-blocking, so that a named pipe cannot hold start-up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) {
        return fail(std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return fail(std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return fail(std::strerror(EISDIR));
    }
    if (!S_ISREG(info.st_mode)) {
        return fail("not a regular file");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return text;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(std::strerror(errno));
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

ConfIniSource LoadConfIni() {
    const char* named = std::getenv("ZEL_CONF");
    const bool isNamed = named != nullptr && *named != '\0';
    const std::filesystem::path path = ConfIniPath();
    ConfIniSource source;
    std::string reason;
    source.Text = LoadConfIniText(path, &reason);
    if (source.Text) {
        return source;
    }
    if (isNamed) {
        source.Error = "ZEL_CONF=" + path.string() + ": " + reason;
        return source;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 || errno != ENOENT) {
        source.Warnings.push_back(path.string() + ": " + reason + "; using the defaults");
    }
    return source;
}

}  // namespace zel
