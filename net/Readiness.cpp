#include "net/Readiness.h"

#include <QSocketNotifier>
#include <QtGlobal>
#include <stdexcept>

#include "net/ApplicationException.h"

namespace zel {
namespace {

// Readiness dispatches in progress on this thread. A notifier destroyed while
// one runs may be the very one emitting: it is silenced now and deleted once
// control is back in the loop.
thread_local int dispatchDepth = 0;

struct DepthGuard {
    DepthGuard() { ++dispatchDepth; }
    ~DepthGuard() { --dispatchDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

}  // namespace

void HandleEscapedException() noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        HandleApplicationException(error);
    } catch (...) {
        HandleApplicationException(std::runtime_error("Unknown exception"));
    }
}

void ReadinessWatch::Discard::operator()(QSocketNotifier* notifier) const noexcept {
    notifier->setEnabled(false);
    QObject::disconnect(notifier, nullptr, nullptr, nullptr);
    if (dispatchDepth > 0)
        notifier->deleteLater();
    else
        delete notifier;
}

void UseQtLoop() {
    constexpr const char* NO_GLIB = "QT_NO_GLIB";
    if (qEnvironmentVariableIsEmpty(NO_GLIB)) {
        qputenv(NO_GLIB, "1");
    }
}

ReadinessWatch::ReadinessWatch(int handle, Kind kind, Callback onReady) {
    auto type = kind == Kind::Read ? QSocketNotifier::Read : QSocketNotifier::Write;
    notifier_.reset(new QSocketNotifier(handle, type));
    // Shared so that the function outlives a watch destroyed during its call.
    auto callback = std::make_shared<const Callback>(std::move(onReady));
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [callback](QSocketDescriptor socket, QSocketNotifier::Type) {
                         auto keep = callback;
                         DepthGuard depth;
                         RunProtected([&] { (*keep)(static_cast<int>(socket)); });
                     });
}

ReadinessWatch::~ReadinessWatch() = default;
ReadinessWatch::ReadinessWatch(ReadinessWatch&&) noexcept = default;
ReadinessWatch& ReadinessWatch::operator=(ReadinessWatch&&) noexcept = default;

void ReadinessWatch::SetEnabled(bool enabled) {
    if (notifier_ && notifier_->isEnabled() != enabled)
        notifier_->setEnabled(enabled);
}

bool ReadinessWatch::Enabled() const {
    return notifier_ && notifier_->isEnabled();
}

void ReadinessWatch::Reset() noexcept {
    notifier_.reset();
}

}  // namespace zel
