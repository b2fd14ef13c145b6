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

TEST(timing_requests, set_lines) {
    test::test_ctx t;
    freq f = {30000, 1001};
    EXPECT_EQ(set_psg_freq(t.ctx, 255, &f), -22);
    EXPECT_EQ(t.written(0), "");
    t.feed(0, "RSET PSG_FRQ 2 30000 1001 OK\n");
    EXPECT_EQ(set_psg_freq(t.ctx, 2, &f), 0);
    EXPECT_EQ(t.written(0), "SET PSG_FRQ 2 30000 1001\n");
    // The resync is asked once, refused or not.
    t.feed(0, "ERROR\n");
    EXPECT_EQ(set_tcg_resync(t.ctx, 3), -1);
    EXPECT_EQ(t.written(0), "SET TCG_RESYNC 3\n");
    t.feed(0, "RSET TCG_PSG\n");
    EXPECT_EQ(set_tcg_psg(t.ctx, 1, 2), 0);
    EXPECT_EQ(t.written(0), "SET TCG_PSG 1 2\n");
    // Drop-frame modes go out as 0, 1, S or Y (any higher mode), and the mode is kept.
    for (const auto& [mode, line] :
         {std::pair<uint32_t, const char*>{2, "SET TCG_DROP_FRAME 4 S\n"},
          {7, "SET TCG_DROP_FRAME 4 Y\n"}}) {
        t.feed(0, "RSET TCG_DROP_FRAME 4 ok\n");
        EXPECT_EQ(set_tcg_drop_frame(t.ctx, 4, mode), 0);
        EXPECT_EQ(t.written(0), line);
        EXPECT_EQ(t.ctx->tcg_drop_frame, mode);
    }
}

TEST(timing_requests, lock_state) {
    test::test_ctx t;
    char state[16];
    EXPECT_EQ(get_ptp_lock_state(t.ctx, state, sizeof state), 0);  // no reply: UNKNOWN
    EXPECT_STREQ(state, "UNKNOWN");
    EXPECT_EQ(t.written(0), "GET PTP_LOCK_STATE\n");
    t.feed(0, "RGET PTP_LOCK_STATE LOCKED\n");
    EXPECT_EQ(get_ptp_lock_state(t.ctx, state, sizeof state), 0);
    EXPECT_STREQ(state, "LOCKED");
    t.feed(0, "ALRT SYNC_FAULT\n");
    EXPECT_EQ(get_ptp_lock_state(t.ctx, state, sizeof state), -1);
    EXPECT_STREQ(state, "UNKNOWN");
}

}  // namespace
}  // namespace nexo
