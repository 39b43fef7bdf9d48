// ZEL_RV7300: the price-check gateway.
//
// Starts the gateway object, runs the Qt event loop until told to end
// (SIGINT/SIGTERM, or "&Salir" in the tray menu), and ends with status 0; a
// failed start-up ends with status 1. On a desktop the gateway shows a tray
// icon once it is ready; without a display it runs headless. Under systemd
// it reports readiness, its status and watchdog pings (ServiceNotifier).
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/ServiceNotifier.h"
#include "app/SignalBridge.h"
#include "gateway/TFMain.h"
#include "money/CodePage.h"
#include "net/ApplicationException.h"
#include "ui/GatewayUi.h"

namespace {

constexpr const char* kHelp =
    "Usage: ZEL_RV7300 [DEBUG | --help | --version]\n"
    "\n"
    "Price-check gateway: serves the shop's price-check terminals over TCP with\n"
    "prices from the application server (srv_zel). On a desktop it shows a tray\n"
    "icon once it is ready (its menu opens the about box, and in debug mode the\n"
    "log, or ends the gateway); without a display it runs headless.\n"
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

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The Qt platform when none is named: headless without a display, and on an
// X display that cannot be reached (a stale DISPLAY must not stop the
// gateway: Qt would abort). A Wayland session is left to Qt's own choice.
const char* DefaultPlatform() {
    if (IsSet("WAYLAND_DISPLAY")) {
        return nullptr;
    }
    return IsSet("DISPLAY") ? "xcb;offscreen" : "offscreen";
}

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
    // Without a display the gateway runs headless: no icon, no window.
    const char* platform = DefaultPlatform();
    if (platform != nullptr && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", platform);
    }
    QApplication application(argc, argv);
    // The money settings follow the user's locale. One that is not installed
    // would leave the C locale's money text without a word: say so.
    if (std::setlocale(LC_ALL, "") == nullptr) {
        std::fprintf(stderr,
                     "Warning: the locale named by LC_ALL, LC_* or LANG is not installed; money "
                     "text follows the C locale\n");
    }
    QApplication::setQuitOnLastWindowClosed(false);

    const zel::CodePage* codePage = nullptr;
    try {
        codePage = &zel::TerminalCodePage();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return 1;
    }

    std::vector<std::string> arguments(argv + 1, argv + argc);
    zel::TFMain FMain(*codePage);
    zel::GatewayUi ui(FMain, zel::CurrentUiMode());

    zel::ServiceNotifier notifier;
    zel::SignalBridge signalBridge;
    // The shutdown runs at once, so no answer that arrives before the loop
    // ends is sent.
    signalBridge.OnTerminate = [&FMain, &notifier] {
        notifier.Stopping();
        FMain.FormDestroy();
        QApplication::quit();
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
        if (const zel::SessionTable* sessions = FMain.Sessions()) {
            const zel::ScanTally scans = sessions->Tally();
            status += "; scans: " + std::to_string(scans.Found) + " found, " +
                      std::to_string(scans.NotFound) + " not found, " +
                      std::to_string(scans.Failed) + " failed";
        }
        return status;
    });
    const int status = application.exec();
    notifier.Stopping();
    FMain.FormDestroy();
    return status;
}
