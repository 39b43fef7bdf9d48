// Conf.ini into GatewaySettings: keys, packing, fallback, text encoding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "gateway/GatewaySettings.h"
#include "money/CodePage.h"

namespace {

using zel::ConfigReading;

const std::string kStars(30, '*');

// What no Conf.ini gives.
ConfigReading Defaults() {
    ConfigReading r;
    r.Settings.PriceOptions = 8;
    r.Settings.MONEDA_MINIMA = 0.01;
    r.Settings.PUNTO_REDONDEO = 0.005;
    r.Settings.ESPERA = 2000;
    r.Settings.IdleLines.fill(kStars);
    r.Port = 6000;
    return r;
}

// The five values a failed conversion replaces.
void Fallback(ConfigReading& r) {
    r.Settings.PriceOptions = 25;
    r.Port = 6000;
    r.Settings.MONEDA_MINIMA = 0.01;
    r.Settings.PUNTO_REDONDEO = 0.005;
    r.Settings.ESPERA = 2000;
}

void ExpectSame(const ConfigReading& want, const ConfigReading& got, const char* what) {
    SCOPED_TRACE(what);
    const auto& w = want.Settings;
    const auto& g = got.Settings;
    EXPECT_EQ(w.ServerAddress, g.ServerAddress);
    EXPECT_EQ(w.PriceOptions, g.PriceOptions);
    EXPECT_EQ(w.MONEDA_MINIMA, g.MONEDA_MINIMA);
    EXPECT_EQ(w.PUNTO_REDONDEO, g.PUNTO_REDONDEO);
    EXPECT_EQ(w.ESPERA, g.ESPERA);
    EXPECT_EQ(int{w.TIPO}, int{g.TIPO});
    EXPECT_EQ(w.IdleLines, g.IdleLines);
    EXPECT_EQ(w.PAUSA_POR_TERMINAL, g.PAUSA_POR_TERMINAL);
    EXPECT_EQ(w.CONEXIONES, g.CONEXIONES);
    EXPECT_EQ(w.LIMITE_CONSULTA, g.LIMITE_CONSULTA);
    EXPECT_EQ(w.SIN_SERVICIO, g.SIN_SERVICIO);
    EXPECT_EQ(want.Port, got.Port);
}

struct SettingsRow {
    const char* what;
    std::optional<std::string> file;
    const char* separator;
    std::function<void(ConfigReading&)> change;  // from Defaults()
    std::vector<std::string> warnings;           // a start of each warning
};

TEST(ReadConfIni, Table) {
    const std::string forty = "1234567890123456789012345678901234567890";
    const std::string ip3000(3000, 'h');
    std::string enye40;
    for (int i = 0; i < 40; ++i) {
        enye40 += "\xC3\xB1";  // ñ
    }
    using R = ConfigReading&;
    // clang-format off
    const SettingsRow rows[] = {
        {"no file, '.'", std::nullopt, ".", [](R) {}, {}},
        {"no file, ','", std::nullopt, ",", [](R) {}, {}},
        {"empty file", "", ",", [](R) {}, {}},
        {"every key written",
         "[SRV_ZEL]\nIP=caja1:6100\n[GENERAL]\nPRECIO=3\nIMPS_INCLUIDO=0\nMONEDA_MINIMA=0.05\n"
         "PUNTO_REDONDEO=0.025\nESPERA=1500\nTIPO=1\nPAUSA_POR_TERMINAL=250\n[TCP]\nPUERTO=7000\n"
         "[MENSAJES]\nM1=uno\nM7=siete\n", ".",
         [](R r) {
             auto& s = r.Settings;
             s.ServerAddress = "caja1:6100"; s.PriceOptions = 2; s.MONEDA_MINIMA = 0.05;
             s.PUNTO_REDONDEO = 0.025; s.ESPERA = 1500; s.TIPO = 1; s.PAUSA_POR_TERMINAL = 250;
             r.Port = 7000; s.IdleLines[0] = "uno"; s.IdleLines[6] = "siete";
         }, {}},
        {"PRECIO letters: fallback, the rest still read",
         "[SRV_ZEL]\nIP=srv\n[GENERAL]\nPRECIO=abc\nTIPO=1\n[MENSAJES]\nM1=Hola\n", ".",
         [](R r) { Fallback(r); r.Settings.ServerAddress = "srv"; r.Settings.TIPO = 1;
                   r.Settings.IdleLines[0] = "Hola"; },
         {"Conf.ini [GENERAL] PRECIO = \"abc\" is not an integer; using the fallback settings ("}},
        {"PRECIO empty: fallback", "[GENERAL]\nPRECIO=\n", ".", Fallback,
         {"Conf.ini [GENERAL] PRECIO = \"\" is not an integer"}},
        {"MONEDA_MINIMA with a comma under '.': fallback over values already read",
         "[GENERAL]\nPRECIO=4\nMONEDA_MINIMA=0,05\nESPERA=x\n[TCP]\nPUERTO=7000\n", ".", Fallback,
         {"Conf.ini [GENERAL] MONEDA_MINIMA = \"0,05\" is not a decimal number; using the fallback"}},
        {"comma values under ','", "[GENERAL]\nMONEDA_MINIMA=0,05\nPUNTO_REDONDEO=0,025\n", ",",
         [](R r) { r.Settings.MONEDA_MINIMA = 0.05; r.Settings.PUNTO_REDONDEO = 0.025; }, {}},
        {"written '.' value under ','", "[GENERAL]\nPUNTO_REDONDEO=0.005\n", ",", Fallback,
         {"Conf.ini [GENERAL] PUNTO_REDONDEO = \"0.005\" is not a decimal number"}},
        {"ESPERA fails last: fallback", "[GENERAL]\nMONEDA_MINIMA=0.5\nESPERA=2s\n", ".", Fallback,
         {"Conf.ini [GENERAL] ESPERA = \"2s\""}},
        {"M3 of 40, M5 empty", "[MENSAJES]\nM3=" + forty + "\nM5=\n", ".",
         [&](R r) { r.Settings.IdleLines[2] = forty.substr(0, 30); r.Settings.IdleLines[4] = ""; }, {}},
        {"TIPO 257", "[GENERAL]\nTIPO=257\n", ".", [](R r) { r.Settings.TIPO = 1; }, {}},
        {"TIPO -1", "[GENERAL]\nTIPO=-1\n", ".", [](R r) { r.Settings.TIPO = 255; }, {}},
        {"TIPO letters: type 0 and the fallback, idle lines still read",
         "[GENERAL]\nPRECIO=3\nTIPO=uno\n[MENSAJES]\nM2=b\n", ".",
         [](R r) { Fallback(r); r.Settings.IdleLines[1] = "b"; },
         {"Conf.ini [GENERAL] TIPO = \"uno\" is not an integer; using terminal type 0 and the fallback"}},
        {"PRECIO 0", "[GENERAL]\nPRECIO=0\n", ".", [](R r) { r.Settings.PriceOptions = -1; }, {}},
        {"PRECIO 9, IMPS 0", "[GENERAL]\nPRECIO=9\nIMPS_INCLUIDO=0\n", ".",
         [](R r) { r.Settings.PriceOptions = 8; }, {}},
        {"IMPS 0 clears bit 3", "[GENERAL]\nIMPS_INCLUIDO=0\n", ".",
         [](R r) { r.Settings.PriceOptions = 0; }, {}},
        {"IMPS 2 sets bit 4 only", "[GENERAL]\nIMPS_INCLUIDO=2\n", ".",
         [](R r) { r.Settings.PriceOptions = 16; }, {}},
        {"packing wraps", "[GENERAL]\nPRECIO=-2147483648\nIMPS_INCLUIDO=$20000000\n", ".",
         [](R r) { r.Settings.PriceOptions = 2147483647; }, {}},
        {"hexadecimal", "[TCP]\nPUERTO=$1F90\n[GENERAL]\nESPERA=0x10\nPRECIO=x2\n", ".",
         [](R r) { r.Port = 8080; r.Settings.ESPERA = 16; r.Settings.PriceOptions = 9; }, {}},
        {"negative pause kept as read", "[GENERAL]\nESPERA=-5\n", ".",
         [](R r) { r.Settings.ESPERA = -5; }, {}},
        {"names ignore case; BOM; CRLF; quotes",
         "\xEF\xBB\xBF[general]\r\npReCiO=3\r\n[Mensajes]\r\nm1=\" a \"\r\n", ".",
         [](R r) { r.Settings.PriceOptions = 10; r.Settings.IdleLines[0] = " a "; }, {}},
        {"comment and duplicates", "[GENERAL]\n;TIPO=1\nESPERA=100\nESPERA=300\n[GENERAL]\nTIPO=2\n", ".",
         [](R r) { r.Settings.ESPERA = 100; }, {}},
        {"address cut to 2047, not to 30", "[SRV_ZEL]\nIP=" + ip3000 + "\n", ".",
         [&](R r) { r.Settings.ServerAddress = ip3000.substr(0, 2047); }, {}},
        {"UTF-8 idle line to windows-1252", "[MENSAJES]\nM1=Caf\xC3\xA9 10\xE2\x82\xAC\n", ".",
         [](R r) { r.Settings.IdleLines[0] = "Caf\xE9 10\x80"; }, {}},
        {"UTF-8 cut after conversion", "[MENSAJES]\nM2=" + enye40 + "\n", ".",
         [](R r) { r.Settings.IdleLines[1] = std::string(30, '\xF1'); }, {}},
        {"code page file kept as bytes", "[MENSAJES]\nM1=Caf\xE9\n", ".",
         [](R r) { r.Settings.IdleLines[0] = "Caf\xE9"; }, {}},
        {"address not converted", "[SRV_ZEL]\nIP=se\xC3\xB1or\n", ".",
         [](R r) { r.Settings.ServerAddress = "se\xC3\xB1or"; }, {}},
        {"warning shows a code page value in UTF-8", "[GENERAL]\nPRECIO=\xE9\n", ".", Fallback,
         {"Conf.ini [GENERAL] PRECIO = \"\xC3\xA9\" is not an integer"}},
        {"PAUSA_POR_TERMINAL letters: 0, nothing else touched",
         "[GENERAL]\nPAUSA_POR_TERMINAL=x\nESPERA=7\n", ".", [](R r) { r.Settings.ESPERA = 7; },
         {"Conf.ini [GENERAL] PAUSA_POR_TERMINAL = \"x\" is not an integer; using 0"}},
        // Values taken as written, with a warning of what follows.
        {"coin 0", "[GENERAL]\nMONEDA_MINIMA=0\n", ".", [](R r) { r.Settings.MONEDA_MINIMA = 0; },
         {"Conf.ini [GENERAL] MONEDA_MINIMA = 0 is not a positive coin"}},
        {"coin negative", "[GENERAL]\nMONEDA_MINIMA=-2147483648\n", ".",
         [](R r) { r.Settings.MONEDA_MINIMA = -2147483648.0; },
         {"Conf.ini [GENERAL] MONEDA_MINIMA = -2147483648 is not a positive coin"}},
        {"rounding point equal to the coin", "[GENERAL]\nPUNTO_REDONDEO=0.01\n", ".",
         [](R r) { r.Settings.PUNTO_REDONDEO = 0.01; },
         {"Conf.ini [GENERAL] PUNTO_REDONDEO = 0.01 is outside 0 up to the coin"}},
        {"rounding point negative", "[GENERAL]\nPUNTO_REDONDEO=-0.5\n", ".",
         [](R r) { r.Settings.PUNTO_REDONDEO = -0.5; }, {"Conf.ini [GENERAL] PUNTO_REDONDEO = -0.5"}},
        {"rounding point 0 is sound", "[GENERAL]\nPUNTO_REDONDEO=0\n", ".",
         [](R r) { r.Settings.PUNTO_REDONDEO = 0; }, {}},
        {"pause of a day", "[GENERAL]\nESPERA=86400000\n", ".",
         [](R r) { r.Settings.ESPERA = 86400000; },
         {"Conf.ini [GENERAL] ESPERA = 86400000 ms is over 60 s"}},
        {"pause of 60 s is sound", "[GENERAL]\nESPERA=60000\n", ".",
         [](R r) { r.Settings.ESPERA = 60000; }, {}},
        {"idle line composed, one byte per character",
         "[MENSAJES]\nM1=n\xCC\x83 \xEF\xAC\x81 \xF0\x9F\x98\x80\n", ".",
         [](R r) { r.Settings.IdleLines[0] = "\xF1 ? ?"; }, {}},
        {"lookup keys written", "[SRV_ZEL]\nCONEXIONES=4\nLIMITE_CONSULTA=800\n"
         "[MENSAJES]\nSIN_SERVICIO=FUERA DE SERVICIO 1234567890123456\n", ".",
         [](R r) { r.Settings.CONEXIONES = 4; r.Settings.LIMITE_CONSULTA = 800;
                   r.Settings.SIN_SERVICIO = "FUERA DE SERVICIO 123456789012"; }, {}},
        {"lookup keys bad or out of range: defaults, no fallback",
         "[SRV_ZEL]\nCONEXIONES=257\nLIMITE_CONSULTA=x\n[GENERAL]\nESPERA=7\n", ".",
         [](R r) { r.Settings.ESPERA = 7; },
         {"Conf.ini [SRV_ZEL] CONEXIONES = 257 is outside 1 to 256; using 16",
          "Conf.ini [SRV_ZEL] LIMITE_CONSULTA = \"x\" is not an integer; using 5000"}},
        {"three separate warnings", "[GENERAL]\nPRECIO=a\nTIPO=b\nPAUSA_POR_TERMINAL=c\n", ".", Fallback,
         {"Conf.ini [GENERAL] PRECIO", "Conf.ini [GENERAL] TIPO", "Conf.ini [GENERAL] PAUSA"}},
    };
    // clang-format on
    const zel::CodePage codePage("windows-1252");
    for (const SettingsRow& row : rows) {
        ConfigReading want = Defaults();
        row.change(want);
        const ConfigReading got = zel::ReadConfIni(row.file, row.separator, codePage);
        ExpectSame(want, got, row.what);
        ASSERT_EQ(got.Warnings.size(), row.warnings.size()) << row.what;
        for (std::size_t i = 0; i < row.warnings.size(); ++i) {
            EXPECT_TRUE(got.Warnings[i].starts_with(row.warnings[i]))
                << row.what << ": " << got.Warnings[i];
        }
    }
}

// On type 0, its own terminal type, the sample's idle lines start each on its
// own row only when every one is 30 characters.
TEST(ConfIniFile, SampleIdleLinesFillTheirRows) {
    const auto text = zel::LoadConfIniText(ZEL_SAMPLE_CONF_INI);
    ASSERT_TRUE(text.has_value());
    const ConfigReading sample = zel::ReadConfIni(text, ".", zel::CodePage("windows-1252"));
    EXPECT_TRUE(sample.Warnings.empty());
    EXPECT_EQ(int{sample.Settings.TIPO}, 0);
    for (const std::string& line : sample.Settings.IdleLines) {
        EXPECT_EQ(line.size(), 30u) << '"' << line << '"';
    }
}

TEST(ConfIniFile, PathAndLoading) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("zel_conf_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "Conf.ini";
    const std::string bytes("[A]\r\nk=\xE9\0v\n", 12);
    std::ofstream(file, std::ios::binary) << bytes;

    EXPECT_EQ(zel::LoadConfIniText(file), bytes);
    EXPECT_EQ(zel::LoadConfIniText(dir / "missing.ini"), std::nullopt);
    EXPECT_EQ(zel::LoadConfIniText(dir), std::nullopt);

    // A named file that cannot be read stops start-up with its path and the
    // reason; one beside the executable that is missing gives the defaults.
    const struct {
        std::filesystem::path named;
        const char* reason;
    } unreadable[] = {
        {dir / "missing.ini", "No such file or directory"},
        {dir, "Is a directory"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto& row : unreadable) {
        ::setenv("ZEL_CONF", row.named.c_str(), 1);
        const zel::ConfIniSource source = zel::LoadConfIni();
        EXPECT_EQ(source.Text, std::nullopt);
        EXPECT_EQ(source.Error, "ZEL_CONF=" + row.named.string() + ": " + row.reason);
    }
    ::setenv("ZEL_CONF", file.c_str(), 1);
    EXPECT_EQ(zel::LoadConfIni().Text, bytes);
    ::unsetenv("ZEL_CONF");
    const zel::ConfIniSource besideExe = zel::LoadConfIni();
    EXPECT_EQ(besideExe.Error, std::nullopt);
    EXPECT_TRUE(besideExe.Warnings.empty());

    ::setenv("ZEL_CONF", file.c_str(), 1);
    EXPECT_EQ(zel::ConfIniPath(), file);
    ::setenv("ZEL_CONF", "", 1);
    const auto beside = zel::ConfIniPath();
    ::unsetenv("ZEL_CONF");
    EXPECT_EQ(beside.filename(), "Conf.ini");
    EXPECT_TRUE(std::filesystem::exists(beside.parent_path() / "test_gateway"));
    EXPECT_EQ(zel::ConfIniPath(), beside);

    std::filesystem::remove_all(dir);
}

}  // namespace
