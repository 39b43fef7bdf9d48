#include "ui/GatewayUi.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <cstdio>
#include <string>

#include "gateway/TFMain.h"

namespace zel {

UiMode UiModeFor(std::string_view platformName) {
    if (platformName == "offscreen" || platformName == "minimal") {
        return UiMode::Headless;
    }
    return UiMode::Desktop;
}

UiMode CurrentUiMode() {
    return UiModeFor(QGuiApplication::platformName().toStdString());
}

GatewayUi::GatewayUi(TFMain& gateway, UiMode mode)
    : TrayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }),
      gateway_(gateway),
      mode_(mode) {
    if (mode_ == UiMode::Headless) {
        return;  // the gateway prints its errors; exceptions keep the stderr default
    }
    window_ = std::make_unique<TFMainWindow>();
    gateway_.SetBusyCursor = [this](bool busy) {
        if (busy) {
            QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
            ++busyDepth_;
        } else if (busyDepth_ > 0) {
            QGuiApplication::restoreOverrideCursor();
            --busyDepth_;
        }
    };
    gateway_.ShowTrayIcon = [this] {
        window_->AttachLog(gateway_.mdebug());
        window_->SetIconVisible(true);
    };
    gateway_.ShowStartupError = [this](std::string_view) { ShowStartupError(); };
    previousHandler_ = SetApplicationExceptionHandler(
        [this](const std::exception& error) { ShowApplicationError(error); });
}

GatewayUi::~GatewayUi() {
    if (mode_ == UiMode::Headless) {
        return;
    }
    SetApplicationExceptionHandler(std::move(previousHandler_));
    gateway_.SetBusyCursor = nullptr;
    gateway_.ShowTrayIcon = nullptr;
    gateway_.ShowStartupError = nullptr;
    while (busyDepth_ > 0) {
        QGuiApplication::restoreOverrideCursor();
        --busyDepth_;
    }
}

void GatewayUi::ShowStartupError() {
    // The set-up may have shown the icon before it failed (the listener opens
    // last): a failed start-up leaves no icon behind.
    window_->SetIconVisible(false);
    if (!TrayAvailable()) {
        return;  // the gateway has printed the error on stderr
    }
    MakeStartupErrorBox()->exec();
}

void GatewayUi::ShowApplicationError(const std::exception& error) {
    const std::string text = WithFullStop(error.what());
    std::fprintf(stderr, "%s\n", text.c_str());
    if (TrayAvailable()) {
        errorBoxes_.Show(error.what());
    }
}

}  // namespace zel
