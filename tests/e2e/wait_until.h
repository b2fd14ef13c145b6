// wait_until: polls a condition of the simulated board until it holds or a limit passes.
#pragma once

#include <chrono>
#include <thread>

// Whether `pred` held within `limit`, asked every 50 ms.
template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}
