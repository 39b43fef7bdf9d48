// DesktopFrontEnd: what the desktop plug-in offers the gateway program.
//
// The gateway runs on Qt Core alone; the tray icon, the about box and the
// message boxes live in a plug-in (a shared object the desktop package
// installs) that the program loads only when a display is named. The plug-in
// exports one C function, DESKTOP_FRONT_END_ENTRY, that makes the front end;
// the gateway's own code it reaches through the program's exported symbols.
#pragma once

#include <memory>

class QCoreApplication;

namespace zel {

class TFMain;

class DesktopFrontEnd {
public:
    virtual ~DesktopFrontEnd() = default;

    // The application object for the display: a widgets application on the
    // display's platform, offscreen (headless) when that cannot be reached.
    virtual std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) = 0;

    // After MakeApplication: wires the window and the tray icon to the
    // gateway's hooks (nothing when the platform turned out headless). The
    // front end must be destroyed before the gateway.
    virtual void Attach(TFMain& gateway) = 0;
};

// The exported maker: `DesktopFrontEnd* zel_desktop_front_end()`, the caller
// owning the result.
inline constexpr const char* DESKTOP_FRONT_END_ENTRY = "zel_desktop_front_end";
using MakeDesktopFrontEnd = DesktopFrontEnd* (*)();

// The plug-in's file name, looked for beside the program and in the
// program's library folder.
inline constexpr const char* DESKTOP_PLUGIN_FILE = "zel_rv7300_desktop.so";

}  // namespace zel
