#pragma once

#include <mutex>
#include <set>
#include <string>

namespace tallymere {

// Cancel requests for running services: the only state the background processing reads while it
// runs. Shared between the model and each run; every access holds the lock.
class CancelFlags {
public:
    void insert(const std::string& id) {
        std::lock_guard guard(lock);
        ids.insert(id);
    }
    void remove(const std::string& id) {
        std::lock_guard guard(lock);
        ids.erase(id);
    }
    bool contains(const std::string& id) const {
        std::lock_guard guard(lock);
        return ids.count(id) != 0;
    }

private:
    mutable std::mutex lock;
    std::set<std::string> ids;
};

} // namespace tallymere
