#pragma once

#include <mutex>

namespace tallymere {

// A boolean shared between a frame-delivering thread and the main thread, used only to claim it
// when clear and to clear it again.
class AtomicFlag {
public:
    // Under the lock: false when already set; otherwise sets it and returns true.
    bool setIfClear() {
        std::lock_guard guard(lock);
        if (value) return false;
        value = true;
        return true;
    }

    void clear() {
        std::lock_guard guard(lock);
        value = false;
    }

    bool isSet() {
        std::lock_guard guard(lock);
        return value;
    }

private:
    std::mutex lock;
    bool value = false;
};

} // namespace tallymere
