// ZEL_RV7300: the price-check gateway.
//
// Starts the gateway object, runs the Qt event loop until told to end
// (SIGINT/SIGTERM, or "&Salir" in the tray menu), and ends with status 0; a
// failed start-up ends with status 1. On a desktop, with the desktop plug-in
// installed, the gateway shows a tray icon once it is ready; without a
// display, or without the plug-in, it runs headless on Qt Core. Under
// systemd it reports readiness, its status and watchdog pings
// (ServiceNotifier).
#include <QCoreApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/DesktopLoader.h"
#include "app/ServiceNotifier.h"
#include "app/SignalBridge.h"
#include "gateway/TFMain.h"
#include "money/CodePage.h"
#include "net/ApplicationException.h"
#include "net/Readiness.h"

namespace {

constexpr const char* kHelp =
    "Usage: ZEL_RV7300 [DEBUG | --help | --version]\n"
    "\n"
    "Price-check gateway: serves the shop's price-check terminals over TCP with\n"
    "prices from the application server (srv_zel). On a desktop, with the package\n"
    "zel-rv7300-desktop installed, it shows a tray icon once it is ready (its menu\n"
    "opens the about box, and in debug mode the log, or ends the gateway); without\n"
    "a display it runs headless.\n"
    "\n"
    "  DEBUG     the one argument that keeps the debug log: every read from a\n"
    "            terminal and every step of a scan are logged (also on stderr)\n"
    "  --help    this text\n"
    "  --version the version\n"
    "\n"
    "Configuration: Conf.ini beside the executable, or the file named by ZEL_CONF.\n"
    "Terminal code page: ZEL_CODEPAGE (an iconv name; default WINDOWS-1252).\n"
    "Money text and the decimal separator of Conf.ini follow the locale (LANG,\n"
    "LC_ALL, ...). SIGHUP re-reads the money settings; SIGINT and SIGTERM end the\n"
    "gateway cleanly. Exit status: 0 after a normal end, 1 when start-up fails.\n"
    "See ZEL_RV7300(8) and zel-rv7300.conf(5).\n";

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("ZEL_RV7300 " ZEL_VERSION);
        return 0;
    }
    // Without a display, or without the desktop plug-in, the gateway runs
    // headless: no icon, no window, no GUI library loaded.
    std::unique_ptr<zel::DesktopFrontEnd> desktop;
    if (zel::DisplayNamed()) {
        std::string why;
        desktop = zel::LoadDesktopFrontEnd(why);
        if (desktop == nullptr) {
            std::fprintf(stderr, "No tray icon: %s; running headless\n",
                         why.empty() ? "the desktop plug-in (package zel-rv7300-desktop) is not "
                                       "installed"
                                     : why.c_str());
        }
    }
    zel::UseQtLoop();
    const std::unique_ptr<QCoreApplication> application =
        desktop ? desktop->MakeApplication(argc, argv)
                : std::make_unique<QCoreApplication>(argc, argv);
    // The money settings follow the user's locale. One that is not installed
    // would leave the C locale's money text without a word: say so.
    if (std::setlocale(LC_ALL, "") == nullptr) {
        std::fprintf(stderr,
                     "Warning: the locale named by LC_ALL, LC_* or LANG is not installed; money "
                     "text follows the C locale\n");
    }
    const zel::CodePage* codePage = nullptr;
    try {
        codePage = &zel::TerminalCodePage();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return 1;
    }

    std::vector<std::string> arguments(argv + 1, argv + argc);
    zel::TFMain FMain(*codePage);
    // The front end goes before the gateway: it takes its hooks back.
    struct FrontEndRelease {
        std::unique_ptr<zel::DesktopFrontEnd>& frontEnd;
        ~FrontEndRelease() { frontEnd.reset(); }
    } frontEndRelease{desktop};
    if (desktop) {
        desktop->Attach(FMain);
    }

    zel::ServiceNotifier notifier;
    zel::SignalBridge signalBridge;
    // The shutdown runs at once, so no answer that arrives before the loop
    // ends is sent.
    signalBridge.OnTerminate = [&FMain, &notifier] {
        notifier.Stopping();
        FMain.FormDestroy();
        QCoreApplication::quit();
    };
    signalBridge.OnHangUp = [&FMain] {
        FMain.ReloadMoneySettings();
        if (FMain.mdebug()) {
            FMain.mdebug()->Append("Money settings read again");
        }
    };

    if (!FMain.FormCreate(arguments)) {
        return 1;  // FMain's destruction runs FormDestroy
    }
    // FormCreate came back with the terminals' port open.
    notifier.Ready([&FMain] {
        std::string status = "Terminals on port " + std::to_string(FMain.ssSocket.LocalPort()) +
                             ": " + std::to_string(FMain.ssSocket.Socket().ActiveConnections()) +
                             " connected";
        if (const zel::GatewayStats* stats = FMain.Stats()) {
            const zel::ScanTally scans = stats->Scans();
            status += "; scans: " + std::to_string(scans.Found) + " found, " +
                      std::to_string(scans.NotFound) + " not found, " +
                      std::to_string(scans.Failed) + " failed";
        }
        return status;
    });
    const int status = QCoreApplication::exec();
    notifier.Stopping();
    FMain.FormDestroy();
    return status;
}
