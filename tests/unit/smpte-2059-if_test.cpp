// Requests to the timing daemon on real pipes: lines, retries and reply parsing.
#include "smpte-2059-if.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link_requests.h"
#include "nexo-cmd-parse.h"
#include "test_ctx.h"

namespace nexo {
namespace {

using namespace std::chrono_literals;

// The timing daemon's side of link 0 on its own thread: answers each request line with the
// next of its replies, one write each, as a peer that reads one request at a time would, and
// keeps the requests. Nothing once the replies are used up.
class scripted_peer {
  public:
    scripted_peer(test::test_ctx& t, std::vector<std::string> replies)
        : thread_([this, &t, replies = std::move(replies)] {
              std::string partial;
              size_t next = 0;
              while (!done_.load()) {
                  pollfd pfd{t.from_daemon[0], POLLIN, 0};
                  if (::poll(&pfd, 1, 10) <= 0) {
                      continue;
                  }
                  partial += t.written(0);
                  for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
                      requests_.push_back(partial.substr(0, nl));
                      partial.erase(0, nl + 1);
                      if (next < replies.size()) {
                          t.feed(0, replies[next++]);
                      }
                  }
              }
          }) {}
    ~scripted_peer() { stop(); }

    // The request lines received, without their newlines.
    std::vector<std::string> stop() {
        done_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
        return requests_;
    }

  private:
    std::atomic<bool> done_{false};
    std::vector<std::string> requests_;
    std::thread thread_;
};

struct retry_case {
    std::vector<std::string> replies;  // one per attempt
    int32_t rc;
    size_t attempts;
};

class timing_retries : public testing::TestWithParam<retry_case> {};

// Each attempt sends the whole line again and takes its own reply: a refusal ends the attempt
// at once, and the first acceptance ends the retries.
TEST_P(timing_retries, one_request_per_reply) {
    const retry_case& c = GetParam();
    test::test_ctx t;
    freq f = {30000, 1001};
    scripted_peer peer(t, c.replies);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(set_rcg_freq(t.ctx, 255, &f), c.rc);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(peer.stop(), std::vector<std::string>(c.attempts, "SET RCG_FRQ 255 30000 1001"));
    // Every reply was read by the attempt it answered, and no attempt sat out its 200 ms.
    int queued = -1;
    ASSERT_EQ(::ioctl(t.to_daemon[0], FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0);
    EXPECT_LT(elapsed, static_cast<int>(c.attempts) * 200ms);
}

const std::string kRefused = "ERROR\n";
const std::string kAccepted = "RSET RCG_FRQ 255 30000 1001 OK\n";

INSTANTIATE_TEST_SUITE_P(
    replies, timing_retries,
    testing::Values(retry_case{std::vector<std::string>(5, kRefused), -1, 5},
                    retry_case{{kRefused, kRefused, kAccepted}, 0, 3},
                    // A reply to another keyword refuses as well.
                    retry_case{std::vector<std::string>(5, "RSET PSG_FRQ OK\n"), -1, 5}));

// Each request with the reply queued before it ("" for none): the exact line it sends ("" for
// none) and what it returns.
TEST(timing_requests, exact_lines) {
    test::test_ctx t;
    nexo_cfg* x = t.ctx;
    freq f = {30000, 1001};
    auto lock = [x] {
        char state[16];
        const int32_t rc = get_ptp_lock_state(x, state, sizeof state);
        return std::to_string(rc) + " " + state;
    };
    // clang-format off
    test::run_requests(t, 0, {
        {"", [&] { return test::result(set_psg_freq(x, 255, &f)); }, "", "-22"},
        {"RSET PSG_FRQ 2 30000 1001 OK\n", [&] { return test::result(set_psg_freq(x, 2, &f)); }, "SET PSG_FRQ 2 30000 1001\n", "0"},
        // The resync is asked once, refused or not.
        {"ERROR\n", [&] { return test::result(set_tcg_resync(x, 3)); }, "SET TCG_RESYNC 3\n", "-1"},
        {"RSET TCG_PSG\n", [&] { return test::result(set_tcg_psg(x, 1, 2)); }, "SET TCG_PSG 1 2\n", "0"},
        // Drop-frame modes go out as 0, 1, S or Y (any higher mode), and the mode is kept.
        {"RSET TCG_DROP_FRAME 4 ok\n", [&] { return test::result(set_tcg_drop_frame(x, 4, 2), &x->tcg_drop_frame); }, "SET TCG_DROP_FRAME 4 S\n", "0 2"},
        {"RSET TCG_DROP_FRAME 4 ok\n", [&] { return test::result(set_tcg_drop_frame(x, 4, 7), &x->tcg_drop_frame); }, "SET TCG_DROP_FRAME 4 Y\n", "0 7"},
        {"", lock, "GET PTP_LOCK_STATE\n", "0 UNKNOWN"},  // no reply
        {"RGET PTP_LOCK_STATE LOCKED\n", lock, "GET PTP_LOCK_STATE\n", "0 LOCKED"},
        {"ALRT SYNC_FAULT\n", lock, "GET PTP_LOCK_STATE\n", "-1 UNKNOWN"},
    });
    // clang-format on
}

}  // namespace
}  // namespace nexo
