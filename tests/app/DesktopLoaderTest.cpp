// When the program looks for the desktop plug-in: only when a display is named.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/DesktopLoader.h"

namespace {

TEST(DesktopLoader, LooksForTheDesktopOnlyWhenADisplayIsNamed) {
    struct Case {
        const char* platform;  // QT_QPA_PLATFORM; null: unset
        const char* display;
        const char* wayland;
        bool named;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, false},  {nullptr, "", "", false},
        {nullptr, ":0", nullptr, true},      {nullptr, nullptr, "wayland-0", true},
        {"offscreen", ":0", nullptr, false}, {"minimal", ":0", nullptr, false},
        {"xcb", nullptr, nullptr, true},     {"xcb;offscreen", ":0", nullptr, true},
    };
    for (const auto& c : cases) {
        const auto set = [](const char* name, const char* value) {
            value != nullptr ? setenv(name, value, 1) : unsetenv(name);
        };
        set("QT_QPA_PLATFORM", c.platform);
        set("DISPLAY", c.display);
        set("WAYLAND_DISPLAY", c.wayland);
        EXPECT_EQ(zel::DisplayNamed(), c.named)
            << (c.platform ? c.platform : "-") << " " << (c.display ? c.display : "-") << " "
            << (c.wayland ? c.wayland : "-");
    }
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace
