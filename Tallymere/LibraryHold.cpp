#include "LibraryHold.h"

#include "library/LibraryError.h"

namespace tallymere {

LibraryHold::LibraryHold(std::filesystem::path root, int pollMilliseconds, QObject* parent)
    : QObject(parent), root_(std::move(root)) {
    poll_.setInterval(pollMilliseconds);
    connect(&poll_, &QTimer::timeout, this, &LibraryHold::tryTake);
}

void LibraryHold::start() {
    tryTake();
    if (access_ != Access::writable && !lockError_) poll_.start();
}

void LibraryHold::tryTake() {
    std::optional<LibraryLock> lock;
    try {
        lock = LibraryLock::tryAcquire(root_, LibraryLock::Range::library,
                                       LibraryLock::Kind::exclusive);
    } catch (const LibraryError& error) {
        // A lock file that cannot be used protects nothing: stay a reader.
        lockError_ = true;
        poll_.stop();
        set(Access::readOnly, QString::fromUtf8(error.what()));
        return;
    }
    if (lock) {
        lock->recordHolder(LibraryLock::applicationName);
        lock_ = std::move(lock);
        poll_.stop();
        set(Access::writable, {});
        Q_EMIT taken();
        return;
    }
    waited_ = true;
    const auto holder = LibraryLock::recordedHolder(root_);
    if (holder && holder->program == LibraryLock::applicationName)
        set(Access::readOnly,
            QString::fromStdString("This library is open in " + holder->description() +
                                   ". This window only shows it; make changes there, or close it "
                                   "and this window takes over."));
    else
        set(Access::waiting, QString::fromUtf8(waitingForToolMessage));
}

void LibraryHold::set(Access access, QString status) {
    if (access == access_ && status == status_) return;
    access_ = access;
    status_ = std::move(status);
    Q_EMIT changed();
}

} // namespace tallymere
