// rv7300_sim: a price-check terminal on the command line, for trying a gateway.
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "money/CodePage.h"
#include "rv7300_sim/Session.h"
#include "rv7300_sim/SimOptions.h"
#include "rv7300_sim/TcpClient.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    zel::SimOptions options;
    try {
        options = zel::ParseSimOptions(args);
        if (options.help) {
            std::cout << zel::SimUsage();
            return zel::EXIT_OK;
        }
        if (options.version) {
            std::cout << "rv7300_sim " ZEL_VERSION "\n";
            return zel::EXIT_OK;
        }
        zel::TerminalCodePage();  // an unusable ZEL_CODEPAGE is a usage error, found early
    } catch (const std::exception& e) {
        std::cerr << "rv7300_sim: " << e.what() << '\n';
        return zel::EXIT_USAGE;
    }
    try {
        zel::TcpClient connection = zel::TcpClient::Connect(options.endpoint, options.waitMs);
        return zel::RunSession(options, connection, STDIN_FILENO, std::cout, std::cerr);
    } catch (const zel::ConnectionError& e) {
        std::cout.flush();
        std::cerr << "rv7300_sim: " << e.what() << '\n';
        return zel::EXIT_CONNECTION;
    }
}
