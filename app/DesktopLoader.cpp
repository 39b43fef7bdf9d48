#include "app/DesktopLoader.h"

#include <QLibrary>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

namespace zel {

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

std::vector<std::filesystem::path> Candidates() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    const std::filesystem::path folder = program.parent_path();
    return {folder / DESKTOP_PLUGIN_FILE,
            (folder / ZEL_DESKTOP_PLUGIN_DIR / DESKTOP_PLUGIN_FILE).lexically_normal()};
}

}  // namespace

bool DisplayNamed() {
    if (IsSet("QT_QPA_PLATFORM")) {
        const std::string_view platform = std::getenv("QT_QPA_PLATFORM");
        return !platform.starts_with("offscreen") && !platform.starts_with("minimal");
    }
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

std::unique_ptr<DesktopFrontEnd> LoadDesktopFrontEnd(std::string& why) {
    why.clear();
    for (const auto& file : Candidates()) {
        std::error_code error;
        if (!std::filesystem::exists(file, error)) {
            continue;
        }
        // Every symbol resolved now: a plug-in from another build fails here,
        // with its reason, rather than at its first call. It stays loaded.
        QLibrary library(QString::fromStdString(file.string()));
        library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        const auto make =
            reinterpret_cast<MakeDesktopFrontEnd>(library.resolve(DESKTOP_FRONT_END_ENTRY));
        if (make == nullptr) {
            why = library.errorString().toStdString();
            return nullptr;
        }
        return std::unique_ptr<DesktopFrontEnd>(make());
    }
    return nullptr;
}

}  // namespace zel
