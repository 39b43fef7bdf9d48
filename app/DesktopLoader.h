// DesktopLoader: finds and loads the desktop plug-in when a display is named.
//
// Without a display the gateway runs headless on Qt Core and loads nothing.
// With one, the plug-in is looked for beside the program, then in the
// program's library folder; a missing or broken plug-in is one line on
// stderr, and the gateway runs headless.
#pragma once

#include <memory>
#include <string>

#include "app/DesktopFrontEnd.h"

namespace zel {

// Whether the environment names a display for the window and the tray icon:
// a Qt platform other than "offscreen" or "minimal", or else DISPLAY or
// WAYLAND_DISPLAY.
bool DisplayNamed();

// The front end, or null (with the reason in `why`, empty when no plug-in
// was installed).
std::unique_ptr<DesktopFrontEnd> LoadDesktopFrontEnd(std::string& why);

}  // namespace zel
