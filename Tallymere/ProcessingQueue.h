#pragma once

#include "CancelFlags.h"
#include "library/Records.h"
#include "library/ServiceResults.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

class EngineLoader;
class OpenLibrary;

// The services waiting to be processed and the one being processed: one run at a time, in the
// order they were queued, each on the thread pool with the members as they were when it started.
// Every change of a service's state goes through the host, which saves it and shows it.
class ProcessingQueue : public QObject {
    Q_OBJECT

public:
    // What the queue needs of the model it works for.
    class Host {
    public:
        virtual ~Host() = default;
        virtual bool writable() const = 0;
        virtual const Service* findService(const std::string& id) const = 0;
        virtual std::vector<Member> runMembers() const = 0;
        virtual std::shared_ptr<OpenLibrary> openLibrary() const = 0;
        // Applies and saves a change of the service; false when it was not saved.
        virtual bool update(const std::string& id, const std::function<void(Service&)>& change) = 0;
    };

    ProcessingQueue(Host& host, EngineLoader& engine, QThreadPool& pool, QObject* parent = nullptr);
    // A run still going stops at its next frame and its result is dropped; the next start finds
    // the service interrupted.
    ~ProcessingQueue() override;

    // Marks the service queued and runs it after the others.
    void enqueue(const std::string& id);
    // A queued service leaves the queue as cancelled; the running one stops at its next frame.
    void cancel(const std::string& id);
    const std::optional<std::string>& active() const { return active_; }
    const std::vector<std::string>& waiting() const { return queue_; }

Q_SIGNALS:
    void activeChanged();
    // A run finished with results that were saved.
    void attendanceReady(const QString& serviceID, const QString& label);

private:
    void setActive(std::optional<std::string> id);
    void runNext();
    void startRun(const std::string& id);
    void finishRun(const std::string& id, std::optional<ServiceResults> results,
                   const std::optional<std::string>& failure);

    Host& host_;
    EngineLoader& engine_;
    QThreadPool& pool_;
    std::vector<std::string> queue_;
    std::optional<std::string> active_;
    std::shared_ptr<CancelFlags> cancelFlags_ = std::make_shared<CancelFlags>();
};

} // namespace tallymere
