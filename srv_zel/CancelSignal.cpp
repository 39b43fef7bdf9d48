#include "srv_zel/CancelSignal.h"

#include <utility>

namespace zel {

void CancelSignal::Cancel() {
    // The stop runs under the lock, so that a Registration going away waits
    // for it rather than leaving it to act on a finished query.
    const std::lock_guard lock(mutex_);
    if (std::exchange(cancelled_, true)) {
        return;
    }
    if (stop_) {
        stop_();
    }
}

bool CancelSignal::Cancelled() const {
    const std::lock_guard lock(mutex_);
    return cancelled_;
}

CancelSignal::Registration CancelSignal::OnCancel(std::function<void()> stop) {
    const std::lock_guard lock(mutex_);
    if (cancelled_) {
        stop();
    } else {
        stop_ = std::move(stop);
    }
    return Registration(this);
}

CancelSignal::Registration::~Registration() {
    const std::lock_guard lock(signal_->mutex_);
    signal_->stop_ = nullptr;
}

}  // namespace zel
