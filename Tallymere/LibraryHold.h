#pragma once

#include "library/LibraryLock.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <optional>

namespace tallymere {

// The window's hold on its library. The library is shared with the command-line tool and possibly
// a second window, so the application holds the library's lock for its whole life; until it has
// it, it writes nothing: it waits for a tool command to finish, or shows a library that another
// Tallymere has open, looking at the lock again every so often.
class LibraryHold : public QObject {
    Q_OBJECT

public:
    // Whether this program may write the library.
    enum class Access {
        waiting,  // a command-line tool is writing it; taken when it finishes
        writable, // this program holds the library
        readOnly, // another Tallymere has it open, or its lock cannot be used; shown, never written
    };
    Q_ENUM(Access)

    static constexpr const char* waitingForToolMessage =
        "Waiting for tallymere-cli to finish with the library\u2026";

    LibraryHold(std::filesystem::path root, int pollMilliseconds, QObject* parent = nullptr);

    // Tries for the lock, and keeps trying while it may still become this program's.
    void start();
    Access access() const { return access_; }
    bool writable() const { return access_ == Access::writable; }
    // What the window says about the library while it cannot write it; "" when it can.
    const QString& status() const { return status_; }
    // Whether the lock was someone else's first, so the library may have changed meanwhile.
    bool waited() const { return waited_; }

Q_SIGNALS:
    void changed();
    // The library has just become this program's to write.
    void taken();

private:
    void tryTake();
    void set(Access access, QString status);

    std::filesystem::path root_;
    std::optional<LibraryLock> lock_;
    QTimer poll_;
    bool waited_ = false;
    bool lockError_ = false; // the lock file cannot be used; this program stays a reader
    Access access_ = Access::waiting;
    QString status_;
};

} // namespace tallymere
