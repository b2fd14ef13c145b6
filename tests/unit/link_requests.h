// Tables of requests the daemon makes of a peer on a link of a test_ctx: the reply the peer
// queues before each, the exact line it sends, what it returns.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

#include "test_ctx.h"

namespace nexo::test {

struct request_case {
    const char* reply;  // "" for none
    std::function<std::string()> request;
    const char* sent;  // "" for nothing sent
    const char* result;
};

// "rc value..." of a request, the values read once it has returned.
template <typename... T>
std::string result(int32_t rc, const T*... values) {
    std::string r = std::to_string(rc);
    ((r += " " + std::to_string(*values)), ...);
    return r;
}

// Runs the requests in order on the link.
inline void run_requests(test_ctx& t, int link, std::initializer_list<request_case> rows) {
    for (const request_case& r : rows) {
        SCOPED_TRACE(r.sent);
        t.feed(link, r.reply);
        EXPECT_EQ(r.request(), r.result);
        EXPECT_EQ(t.written(link), r.sent);
    }
}

}  // namespace nexo::test
