// Alerts: what reaches the media-transport daemon, at once and deferred.
#include "nexo-alert-parse.h"

#include <gtest/gtest.h>

#include <string>

#include "test_ctx.h"

namespace nexo {
namespace {

struct alert_case {
    std::string text;  // behind "ALRT "
    int32_t rc;
    std::string forwarded;  // bytes on link 2
};

class alert_at_once : public testing::TestWithParam<alert_case> {};

TEST_P(alert_at_once, is_forwarded_to_the_media_transport_daemon) {
    test::test_ctx t;
    std::string text = GetParam().text;
    EXPECT_EQ(check_alert(t.ctx, text.data(), static_cast<int64_t>(text.size()), 0), GetParam().rc);
    EXPECT_EQ(t.written(2), GetParam().forwarded);
    EXPECT_EQ(t.written(1), "");  // the control client never sees an alert
}

const std::string k57(57 - 10, 'a');
const std::string k58(58 - 10, 'a');

INSTANTIATE_TEST_SUITE_P(
    alerts, alert_at_once,
    testing::Values(alert_case{"2059_FRA_CHANGED\n", 0, "ALRT 2059_FRA_CHANGED\n"},
                    alert_case{"2059_TAF_CHANGED\n\n", 0, "ALRT 2059_TAF_CHANGED\n"},
                    alert_case{"SYNC_FAULT 20:1\n", 0, "ALRT SYNC_FAULT 20:1\n"},
                    alert_case{"SYNC_FAULT" + k57, 0, "ALRT SYNC_FAULT" + k57 + "\n"},
                    // 58 characters do not fit the 64-byte line with its newline: cut, no newline.
                    alert_case{"SYNC_FAULT" + k58, 0, ("ALRT SYNC_FAULT" + k58).substr(0, 63)},
                    alert_case{"sync_fault\n", -1, ""}, alert_case{"\n\n", -1, ""},
                    alert_case{"", -1, ""}));

TEST(alert_deferred, runs_once_per_text_in_arrival_order) {
    test::test_ctx t;
    const char* arrivals[] = {"2059_FRA_CHANGED\n", "2059_FRA_CHANGED", "SYNC_FAULT 1\n",
                              "2059_FRA_CHANGED\n", "UNKNOWN\n",        "SYNC_FAULT 2\n"};
    for (const char* a : arrivals) {
        std::string text = a;
        check_alert(t.ctx, text.data(), static_cast<int64_t>(text.size()), 1);
    }
    EXPECT_EQ(t.written(2), "");  // nothing runs inside the exchange
    EXPECT_EQ(handle_deferred_alerts(t.ctx), 3);
    EXPECT_EQ(t.written(2), "ALRT 2059_FRA_CHANGED\nALRT SYNC_FAULT 1\nALRT SYNC_FAULT 2\n");
    EXPECT_EQ(handle_deferred_alerts(t.ctx), 0);
    // Once run, the same alert can be queued again.
    std::string again = "2059_FRA_CHANGED";
    check_alert(t.ctx, again.data(), 16, 1);
    EXPECT_EQ(handle_deferred_alerts(t.ctx), 1);
}

// A peer that floods alerts during one exchange fills the ring; later arrivals are dropped
// while those kept still run once each, in arrival order.
TEST(alert_deferred, a_full_ring_drops_later_arrivals) {
    test::test_ctx t;
    t.ctx->verbose = 0;
    std::string expected;
    for (std::size_t i = 0; i < kAlertRingSize + 3; ++i) {
        std::string text = "SYNC_FAULT " + std::to_string(i);
        EXPECT_EQ(check_alert(t.ctx, text.data(), static_cast<int64_t>(text.size()), 1),
                  i < kAlertRingSize ? 0 : -1);
        if (i < kAlertRingSize) {
            expected += "ALRT " + text + "\n";
        }
    }
    EXPECT_EQ(handle_deferred_alerts(t.ctx), static_cast<int32_t>(kAlertRingSize));
    EXPECT_EQ(t.written(2), expected);
}

TEST(send_alert, with_and_without_channel) {
    test::test_ctx t;
    const uint8_t chan[2] = {20, 1};
    send_alert(t.ctx, "2059_FRA_CHANGED", 2, chan);
    send_alert(t.ctx, "2059_FRA_CHANGED", 2, nullptr);
    EXPECT_EQ(t.written(2), "ALRT 2059_FRA_CHANGED 20:1\nALRT 2059_FRA_CHANGED\n");
}

}  // namespace
}  // namespace nexo
