// The control model without a socket: the type checks that guard every argument and Set, the
// definition reader, inherited descriptors, and what a client's setting does to a monitor.
#include "ncp_model.h"

#include <gtest/gtest.h>

#include <thread>

#include "gate.h"
#include "ncp_protocol.h"
#include "ncp_service.h"

namespace nexo::nmos::ncp {
namespace {

TEST(ncp_model, values_are_checked_against_their_types) {
    const catalogue& cat = catalogue::get();
    struct row {
        const char* type;
        bool sequence, nullable;
        const char* value;
        bool ok;
    };
    const row rows[] = {
        {"NcUint16", false, false, "65535", true},
        {"NcUint16", false, false, "65536", false},
        {"NcUint16", false, false, "-1", false},
        {"NcUint16", false, false, "1.5", false},
        {"NcUint32", false, false, "4294967295", true},
        {"NcInt32", false, false, "-2147483648", true},
        {"NcInt32", false, false, "2147483648", false},
        {"NcUint64", false, false, "18446744073709551615", true},
        {"NcString", false, false, "null", false},
        {"NcString", false, true, "null", true},
        {"NcBoolean", false, false, "1", false},
        {"NcPropertyId", false, false, R"({"level": 1, "index": 2})", true},
        {"NcPropertyId", false, false, R"({"level": 1})", false},
        {"NcPropertyId", false, false, R"({"level": 1, "index": "2"})", false},
        {"NcClassId", false, false, "[1, 2, 2, 1]", true},
        {"NcClassId", false, false, R"([1, "2"])", false},
        {"NcRolePath", false, false, R"(["root", "rx-20-0"])", true},
        {"NcOverallStatus", false, false, "3", true},
        {"NcOverallStatus", false, false, "4", false},
        {"NcLinkStatus", false, false, "0", false},
        {"NcTouchpoint", true, true, "null", true},
        {"NcTouchpointNmos", false, false,
         R"({"contextNamespace": "x-nmos", "resource": {"resourceType": "receiver", "id": "x"}})",
         true},
        {"NcTouchpointNmos", false, false, R"({"contextNamespace": "x-nmos", "resource": {}})",
         false},
        {"", false, true, R"({"anything": [1, 2]})", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " " + r.value);
        EXPECT_EQ(cat.conforms(json::parse(r.value), {r.type, r.sequence, r.nullable}), r.ok);
    }
    // Nesting deeper than any type of the model is refused rather than followed.
    json deep = 1;
    for (int i = 0; i < 100; ++i) {
        deep = json::array({deep});
    }
    EXPECT_FALSE(cat.conforms(deep, {"NcClassId", true, false}));
}

TEST(ncp_model, definition_reader_refuses_what_it_cannot_describe) {
    const char* bad[] = {
        "class 1 NcObject\np id NcNoSuchType r\n",
        "class 1.1 NcBlock\n",                        // no parent class
        "primitive NcInt32\ntypedef NcX NcInt32?\n",  // a typedef is never nullable
        "enum NcE A B\n",
        "p orphan NcBoolean r\n",
        "struct NcS\nf x NcUndefined\n",
        "wibble\n",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        catalogue c;
        std::string why;
        EXPECT_FALSE(c.parse(text, &why));
        EXPECT_FALSE(why.empty());
    }
}

struct fixture {
    std::array<std::string, kChannels.size()> ids;
    int delay_calls = 0;
    model m;

    static std::array<std::string, kChannels.size()> make_ids() {
        std::array<std::string, kChannels.size()> a;
        for (std::size_t i = 0; i < a.size(); ++i) {
            a[i] = "rx-id-" + std::to_string(i);
        }
        return a;
    }
    monitor_hooks hooks() {
        monitor_hooks h;
        h.set_reporting_delay = [this](std::size_t, std::uint32_t seconds) {
            ++delay_calls;
            monitor_values v;
            v.status_reporting_delay = seconds;
            v.overall = client::nc_overall_status::unhealthy;
            return std::optional(v);
        };
        return h;
    }
    fixture()
        : ids(make_ids()),
          m(device_identity{"nexo", "board", "board", "1.0.0", "s1", "A"}, ids, hooks()) {}
};

TEST(ncp_model, descriptors_and_settings_as_a_controller_sees_them) {
    fixture f;
    std::vector<property_event> ev;
    auto get = [&](std::uint32_t oid, int level, int index) {
        return f.m.invoke(oid, {1, 1}, {{"id", {{"level", level}, {"index", index}}}}, &ev);
    };
    // A struct's inherited descriptor lists its parent's fields first.
    json d = f.m.invoke(kClassManagerOid, {3, 2},
                        {{"name", "NcMethodResultCounters"}, {"includeInherited", true}}, &ev);
    ASSERT_EQ(d["status"], 200);
    ASSERT_EQ(d["value"]["fields"].size(), 2u);
    EXPECT_EQ(d["value"]["fields"][0]["name"], "status");
    EXPECT_EQ(d["value"]["parentType"], "NcMethodResult");

    // A reporting delay goes to the monitor logic, and what it reports comes back as events.
    ev.clear();
    json r = f.m.invoke(kFirstMonitorOid, {1, 2},
                        {{"id", {{"level", 3}, {"index", 3}}}, {"value", 7}}, &ev);
    EXPECT_EQ(r["status"], 200);
    EXPECT_EQ(f.delay_calls, 1);
    EXPECT_EQ(get(kFirstMonitorOid, 3, 3)["value"], 7);
    EXPECT_EQ(get(kFirstMonitorOid, 3, 1)["value"], 3);
    bool overall_event = false;
    for (const auto& e : ev) {
        overall_event |= e.oid == kFirstMonitorOid && e.property == element_id{3, 1};
    }
    EXPECT_TRUE(overall_event);
    // A value the property cannot take reaches nothing.
    r = f.m.invoke(kFirstMonitorOid, {1, 2}, {{"id", {{"level", 3}, {"index", 3}}}, {"value", -1}},
                   &ev);
    EXPECT_EQ(r["status"], status::parameter_error);
    EXPECT_EQ(f.delay_calls, 1);

    // Block searches: by role fragment, without regard to case, and by class with derived ones.
    const json by_role = json::parse(
        R"({"role": "RX-40", "caseSensitive": false, "matchWholeString": false, "recurse": true})");
    json found = f.m.invoke(kRootOid, {2, 3}, by_role, &ev);
    EXPECT_EQ(found["value"].size(), 4u);
    found = f.m.invoke(kRootOid, {2, 4},
                       {{"classId", {1, 2}}, {"includeDerived", true}, {"recurse", false}}, &ev);
    EXPECT_EQ(found["value"].size(), 12u);
    found = f.m.invoke(kRootOid, {2, 2}, {{"path", {"rx-20-3"}}}, &ev);
    ASSERT_EQ(found["value"].size(), 1u);
    EXPECT_EQ(found["value"][0]["oid"], kFirstMonitorOid + 3);
}

TEST(ncp_model, subscriptions_keep_only_objects_that_exist) {
    fixture f;
    session_state s;
    std::vector<property_event> ev;
    std::string reply = handle_message(
        f.m, s, R"({"messageType": 3, "subscriptions": [1, 0, -5, 99999, 10, "x", 1.5]})", &ev);
    EXPECT_EQ(json::parse(reply)["subscriptions"], json({1, 10}));
    EXPECT_EQ(notification_message(s, {{2, {1, 6}, "x"}}), "");
    EXPECT_NE(notification_message(s, {{10, {1, 6}, "x"}}), "");
}

// The poller's exchanges wait while a request's are under way, then go ahead.
TEST(ncp_service, poller_exchanges_wait_for_requests) {
    struct held_link : client::daemon_link {
        test::gate g;
        std::vector<std::string> seen;
        client::link_reply exchange(const std::string& line) override {
            std::unique_lock lk(g.mu);
            seen.push_back(line);
            if (line == "request") {
                g.hold(lk);
            }
            return {client::link_status::ok, "ok"};
        }
    } inner;
    yielding_link y(inner, std::chrono::milliseconds(20), std::chrono::seconds(30));
    std::thread request([&] { y.foreground().exchange("request"); });
    inner.g.wait_held();
    std::thread poll([&] { y.background().exchange("poll"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        std::lock_guard lk(inner.g.mu);
        EXPECT_EQ(inner.seen, std::vector<std::string>{"request"});
    }
    inner.g.release();
    request.join();
    poll.join();
    EXPECT_EQ(inner.seen, (std::vector<std::string>{"request", "poll"}));
}

}  // namespace
}  // namespace nexo::nmos::ncp
