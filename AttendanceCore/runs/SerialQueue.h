#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tallymere {

// One named thread that runs the tasks given to it one after another, in the order given.
class SerialQueue {
public:
    // `name` is the thread's name as the system shows it (at most 15 characters are kept).
    explicit SerialQueue(std::string name);
    // Finishes the task running now, drops the ones still waiting and ends the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();

    std::string name_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

// Gives the calling thread a name the system shows (at most 15 characters are kept).
void nameCurrentThread(const std::string& name);

} // namespace tallymere
