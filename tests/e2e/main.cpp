// End-to-end test binary: every test runs inside the sandbox (private /run, eth1 on a veth).
#include <gtest/gtest.h>

#include <cstring>

#include "sandbox.h"

int main(int argc, char** argv) {
    // Listing the tests (CTest's discovery) needs no sandbox; running them does, and entering it
    // has to happen while this process still has one thread.
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) {
            listing = true;
        }
    }
    if (!listing && nexo::sim::sandbox_enter() != 0) {
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
