// GatewayUi: what the user sees of the gateway, wired to its hooks.
//
// On a desktop it makes the window and its tray icon, turns the hour-glass on
// and off during start-up, shows the icon once the gateway is set up, shows
// the start-up error box, and shows exceptions that leave an event in the
// application's standard error box. Headless (no display, or the offscreen
// platform) it makes nothing and sets no hook: the gateway reports on stderr.
//
// Tray availability is not taken as fixed at start: the icon is made and
// shown whether or not a tray is there yet, and docks when one appears. The
// boxes are shown only while a tray is available (otherwise nobody is at
// the desktop to close them); their texts then go to stderr only.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "net/ApplicationException.h"
#include "ui/ErrorBoxes.h"
#include "ui/TFMainWindow.h"

namespace zel {

class TFMain;

enum class UiMode { Headless, Desktop };

// The mode for a Qt platform plug-in name: "offscreen" and "minimal" draw
// nowhere anyone looks, so they run headless; any other is a desktop.
UiMode UiModeFor(std::string_view platformName);
// The mode of the running QGuiApplication.
UiMode CurrentUiMode();

class GatewayUi {
public:
    // Sets the gateway's hooks (Desktop) and the application's exception
    // handler; the destructor takes both back. Must outlive no gateway.
    GatewayUi(TFMain& gateway, UiMode mode);
    ~GatewayUi();
    GatewayUi(const GatewayUi&) = delete;
    GatewayUi& operator=(const GatewayUi&) = delete;

    UiMode Mode() const { return mode_; }
    // The window; null when headless.
    TFMainWindow* Window() const { return window_.get(); }
    ApplicationErrorBoxes& ErrorBoxes() { return errorBoxes_; }

    // Whether a box can be shown now; QSystemTrayIcon::isSystemTrayAvailable
    // unless replaced.
    std::function<bool()> TrayAvailable;

private:
    void ShowStartupError();
    void ShowApplicationError(const std::exception& error);

    TFMain& gateway_;
    UiMode mode_;
    std::unique_ptr<TFMainWindow> window_;
    ApplicationErrorBoxes errorBoxes_;
    ApplicationExceptionHandler previousHandler_;
    int busyDepth_ = 0;
};

}  // namespace zel
