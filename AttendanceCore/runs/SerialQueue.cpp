#include "runs/SerialQueue.h"

#include <pthread.h>
#include <utility>

namespace tallymere {

void nameCurrentThread(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        tasks_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard guard(lock_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    changed_.notify_one();
}

void SerialQueue::run() {
    nameCurrentThread(name_);
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock guard(lock_);
            changed_.wait(guard, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

} // namespace tallymere
