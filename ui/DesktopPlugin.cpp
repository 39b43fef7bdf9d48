// The desktop plug-in's entry: a QApplication on the display's platform and
// the GatewayUi over the gateway.
#include <QApplication>
#include <cstdlib>
#include <optional>

#include "app/DesktopFrontEnd.h"
#include "ui/GatewayUi.h"

namespace zel {
namespace {

// The Qt platform when none is named: on an X display that cannot be reached
// the gateway goes on headless (Qt would abort: a stale DISPLAY must not stop
// it). A Wayland session is left to Qt's own choice.
const char* DefaultPlatform() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland != nullptr && *wayland != '\0' ? nullptr : "xcb;offscreen";
}

class WidgetsFrontEnd : public DesktopFrontEnd {
public:
    std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) override {
        const char* platform = DefaultPlatform();
        if (platform != nullptr && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", platform);
        }
        auto application = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return application;
    }

    void Attach(TFMain& gateway) override { ui_.emplace(gateway, CurrentUiMode()); }

private:
    std::optional<GatewayUi> ui_;
};

}  // namespace
}  // namespace zel

extern "C" __attribute__((visibility("default"))) zel::DesktopFrontEnd* zel_desktop_front_end() {
    return new zel::WidgetsFrontEnd();
}
