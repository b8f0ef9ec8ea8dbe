#include "MemberChecks.h"

#include "EngineLoader.h"
#include "library/OpenLibrary.h"
#include "recognition/Enroller.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>

namespace tallymere {

MemberChecks::MemberChecks(EngineLoader& engine, QThreadPool& pool,
                           std::shared_ptr<OpenLibrary> library, QObject* parent)
    : QObject(parent), engine_(engine), pool_(pool), library_(std::move(library)) {}

void MemberChecks::start(const std::string& id,
                         std::function<const Member*(const std::string&)> find) {
    mark(id, true);
    engine_.whenSettled([this, id, find = std::move(find)] {
        const Member* current = find(id);
        auto engine = engine_.engine();
        if (!engine || !current) {
            mark(id, false);
            return;
        }
        QPointer<MemberChecks> self(this);
        (void)QtConcurrent::run(
            &pool_, [self, engine, library = library_, id, copy = *current]() mutable {
                Member checked = Enroller(*engine, library->library()).check(std::move(copy));
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [self, id, checked = std::move(checked)] {
                        if (!self) return;
                        self->mark(id, false);
                        Q_EMIT self->checked(id, checked);
                    },
                    Qt::QueuedConnection);
            });
    });
}

void MemberChecks::mark(const std::string& id, bool checking) {
    int& running = running_[id];
    running += checking ? 1 : -1;
    if (running > 0 && !checking) return;
    if (running <= 0) running_.erase(id);
    if (checking ? !checking_.insert(id).second : checking_.erase(id) == 0) return;
    Q_EMIT checkingChanged(id, checking);
}

} // namespace tallymere
