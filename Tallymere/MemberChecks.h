#pragma once

#include "library/Member.h"

#include <QObject>
#include <QThreadPool>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace tallymere {

class EngineLoader;
class OpenLibrary;

// The enrolment checks running in the background: each checks a member's photos as they are once
// the face models have loaded, on the thread pool, and hands the checked member back on the GUI
// thread. Checks of one member may overlap (photos added while one runs); the member counts as
// being checked until the last of them has ended.
class MemberChecks : public QObject {
    Q_OBJECT

public:
    MemberChecks(EngineLoader& engine, QThreadPool& pool, std::shared_ptr<OpenLibrary> library,
                 QObject* parent = nullptr);

    // Checks the member with that id as `find` gives it when the models are ready; nothing when
    // it has gone by then or the models failed to load.
    void start(const std::string& id, std::function<const Member*(const std::string&)> find);
    const std::set<std::string>& checking() const { return checking_; }

Q_SIGNALS:
    // Emitted when a member starts or stops being checked.
    void checkingChanged(const std::string& id, bool checking);
    // A check has ended with this result; the member counts as checked already.
    void checked(const std::string& id, const tallymere::Member& member);

private:
    void mark(const std::string& id, bool checking);

    EngineLoader& engine_;
    QThreadPool& pool_;
    std::shared_ptr<OpenLibrary> library_;
    std::set<std::string> checking_;
    std::map<std::string, int> running_; // checks of each member still going
};

} // namespace tallymere
