#include "ProcessingQueue.h"

#include "EngineLoader.h"
#include "library/OpenLibrary.h"
#include "library/ProcessSettings.h"
#include "runs/ProcessError.h"
#include "runs/ServiceProcessor.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

namespace tallymere {

namespace {

// Queues `work` on the GUI thread, dropped when the queue has gone meanwhile.
void post(const QPointer<ProcessingQueue>& queue, std::function<void(ProcessingQueue&)> work) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [queue, work = std::move(work)] {
            if (queue) work(*queue);
        },
        Qt::QueuedConnection);
}

} // namespace

ProcessingQueue::ProcessingQueue(Host& host, EngineLoader& engine, QThreadPool& pool,
                                 QObject* parent)
    : QObject(parent), host_(host), engine_(engine), pool_(pool) {}

ProcessingQueue::~ProcessingQueue() {
    if (active_) cancelFlags_->insert(*active_);
}

void ProcessingQueue::enqueue(const std::string& id) {
    if (!host_.update(id, markQueued)) return;
    queue_.push_back(id);
    if (!active_) runNext();
}

void ProcessingQueue::cancel(const std::string& id) {
    if (std::find(queue_.begin(), queue_.end(), id) != queue_.end()) {
        std::erase(queue_, id);
        host_.update(id, markCancelled);
    } else {
        cancelFlags_->insert(id);
    }
}

void ProcessingQueue::setActive(std::optional<std::string> id) {
    if (id == active_) return;
    active_ = std::move(id);
    Q_EMIT activeChanged();
}

void ProcessingQueue::runNext() {
    if (active_ || queue_.empty()) return;
    const std::string id = queue_.front();
    queue_.erase(queue_.begin());
    if (!host_.findService(id)) {
        runNext(); // deleted while it waited
        return;
    }
    setActive(id);
    host_.update(id, markProcessing);
    startRun(id);
}

void ProcessingQueue::startRun(const std::string& id) {
    Service service = *host_.findService(id);
    std::vector<Member> members = host_.runMembers();
    auto library = host_.openLibrary();
    auto flags = cancelFlags_;
    engine_.whenSettled([this, id, service = std::move(service), members = std::move(members),
                         library, flags]() mutable {
        auto engine = engine_.engine();
        if (!engine) {
            const std::string text = engine_.error().value_or("Face models unavailable");
            host_.update(id, [&](Service& s) { markFailed(s, text); });
            flags->remove(id);
            setActive(std::nullopt);
            runNext();
            return;
        }
        QPointer<ProcessingQueue> self(this);
        auto run = [self, engine, library, flags, id, service = std::move(service),
                    members = std::move(members)] {
            auto progress = [self, id](const Progress& report) {
                post(self, [id, report](ProcessingQueue& queue) {
                    queue.host_.update(id, [&](Service& s) { markProgress(s, report); });
                });
            };
            auto isCancelled = [flags, id] { return flags->contains(id); };
            std::optional<ServiceResults> results;
            std::optional<std::string> failure;
            try {
                ServiceProcessor processor(*engine, library->library());
                results = processor.run(service, members, ProcessSettings::preset(service.mode),
                                        progress, isCancelled);
            } catch (const ProcessError& error) {
                if (error.kind() != ProcessError::Kind::cancelled) failure = error.what();
            } catch (const std::exception& error) {
                failure = error.what();
            }
            post(self, [id, results = std::move(results), failure](ProcessingQueue& queue) mutable {
                queue.finishRun(id, std::move(results), failure);
            });
        };
        (void)QtConcurrent::run(&pool_, std::move(run));
    });
}

void ProcessingQueue::finishRun(const std::string& id, std::optional<ServiceResults> results,
                                const std::optional<std::string>& failure) {
    const bool finished = results.has_value();
    bool saved = false;
    if (finished)
        saved = host_.update(id, [&](Service& s) { markFinished(s, std::move(*results)); });
    else if (failure)
        host_.update(id, [&](Service& s) { markFailed(s, *failure); });
    else
        host_.update(id, markCancelled);
    // A service deleted while it ran may have had snapshots written after its folder went.
    if (!host_.findService(id) && host_.writable())
        host_.openLibrary()->library().deleteService(id);
    cancelFlags_->remove(id);
    setActive(std::nullopt);
    runNext();
    if (saved) {
        if (const Service* s = host_.findService(id))
            Q_EMIT attendanceReady(QString::fromStdString(id), QString::fromStdString(s->label));
    }
}

} // namespace tallymere
