// Holds a stand-in daemon's answer to a line until the test releases it, and tells the test once
// one is held: for tests of what goes on while the daemon is busy.
#pragma once

#include <condition_variable>
#include <mutex>

namespace nexo::test {

struct gate {
    std::mutex mu;
    std::condition_variable cv;
    bool holding = false;
    bool released = false;
    // Called with mu held; returns, still holding it, once released.
    void hold(std::unique_lock<std::mutex>& lk) {
        holding = true;
        cv.notify_all();
        cv.wait(lk, [this] { return released; });
    }
    void wait_held() {
        std::unique_lock lk(mu);
        cv.wait(lk, [this] { return holding; });
    }
    void release() {
        std::lock_guard lk(mu);
        released = true;
        cv.notify_all();
    }
};

}  // namespace nexo::test
