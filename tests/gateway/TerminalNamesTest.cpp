// [TERMINALES] in Conf.ini: a name per terminal address, and every bad key
// or name one warning that names it, never a failed start.
#include <gtest/gtest.h>

#include "gateway/GatewaySettings.h"
#include "money/CodePage.h"

namespace zel {
namespace {

TEST(TerminalNames, ReadFromConfIniWithOneWarningPerBadKey) {
    const CodePage codes("WINDOWS-1252");
    std::string long41;
    for (int i = 0; i < 41; ++i) {
        long41 += "\xC3\xB1";  // ñ, two bytes in UTF-8
    }
    const struct {
        const char* what;
        std::string file;
        const char* address;
        std::string name;     // what it is named; "" none
        std::string warning;  // the start of the one warning; "" none
    } rows[] = {
        {"a name", "[TERMINALES]\n10.1.2.21=Panaderia\n", "10.1.2.21", "Panaderia", ""},
        {"section and quotes as every section", "[terminales]\n 10.1.2.21 = \" Caja 1 \"\n",
         "10.1.2.21", " Caja 1 ", ""},
        {"another address has none", "[TERMINALES]\n10.1.2.21=Panaderia\n", "10.1.2.22", "", ""},
        {"the first of two wins", "[TERMINALES]\n10.1.2.21=uno\n10.1.2.21=dos\n", "10.1.2.21",
         "uno", ""},
        {"empty: no name, no warning", "[TERMINALES]\n10.1.2.21=\n", "10.1.2.21", "", ""},
        {"not an address", "[TERMINALES]\ncaja1=Panaderia\n", "caja1", "",
         "Conf.ini [TERMINALES] caja1 is not a terminal's address"},
        {"a leading zero is no address", "[TERMINALES]\n010.1.2.21=Panaderia\n", "10.1.2.21", "",
         "Conf.ini [TERMINALES] 010.1.2.21 is not a terminal's address"},
        {"a tab: ignored", "[TERMINALES]\n10.1.2.21=Pan\tderia\n", "10.1.2.21", "",
         "Conf.ini [TERMINALES] 10.1.2.21: the name holds a control character; ignored"},
        {"a C1 control: ignored", "[TERMINALES]\n10.1.2.21=Pan\xC2\x85x\n", "10.1.2.21", "",
         "Conf.ini [TERMINALES] 10.1.2.21: the name holds a control character"},
        {"41 characters: cut to 40 whole ones", "[TERMINALES]\n10.1.2.21=" + long41 + "\n",
         "10.1.2.21", long41.substr(0, 80),
         "Conf.ini [TERMINALES] 10.1.2.21: the name is longer than 40 characters; cut to"},
        {"not UTF-8: read in the code page",
         "[TERMINALES]\n10.1.2.21=Panader\xED"
         "a\n",
         "10.1.2.21",
         "Panader\xC3\xAD"
         "a",
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const ConfigReading r = ReadConfIni(row.file, ".", codes);
        EXPECT_EQ(r.Settings.Names.NameOf(row.address), row.name);
        if (row.warning.empty()) {
            EXPECT_TRUE(r.Warnings.empty()) << r.Warnings.front();
        } else {
            ASSERT_EQ(r.Warnings.size(), 1u);
            EXPECT_EQ(r.Warnings[0].substr(0, row.warning.size()), row.warning) << r.Warnings[0];
        }
    }
}

}  // namespace
}  // namespace zel
