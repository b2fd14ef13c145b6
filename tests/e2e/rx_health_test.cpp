// Receiver health on the simulated board: each status driven through its transitions the way
// the board would see them (the format detector, eth1, the timing simulator's lock and
// grandmaster, the channel switched), checked in `nexoctl status --json`; and `nexoctl watch`
// printing a change and leaving on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "control_client.h"
#include "fpga.h"
#include "peer.h"
#include "sandbox.h"
#include "wait_until.h"

namespace nexo::sim {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

// The health object of each channel, by channel name, from `nexoctl status --json`.
json status_health() {
    FILE* p = ::popen((std::string(NEXOCTL_PATH) + " --pipes /run status --json").c_str(), "r");
    std::string out;
    char buf[4096];
    for (std::size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) {
        out.append(buf, n);
    }
    if (p == nullptr || ::pclose(p) != 0) {
        return json();
    }
    json doc = json::parse(out, nullptr, false);
    json by_channel = json::object();
    if (doc.is_object() && doc["channels"].is_array()) {
        for (const json& c : doc["channels"]) {
            by_channel[c["channel"].get<std::string>()] = c["health"];
        }
    }
    return by_channel;
}

void peer_reply(peer_sim& p, const std::string& keyword, const std::string& reply) {
    peer_rule r;
    r.what = peer_rule::action::reply;
    r.reply = reply;
    p.set_rule(keyword, r);
}

// YCbCr 4:2:2, 10 bits, progressive, 59.94 frames/s, as the detector codes it.
constexpr detected_format k1080p{1920, 1080, 2, 1, 0, 8};
constexpr detected_format k720p{1280, 720, 2, 1, 0, 8};
constexpr uint32_t kBusy = 1, kStreamDetected = 2, kFormatDetected = 3;

TEST(rx_health, every_status_follows_the_board) {
    board b;
    ASSERT_TRUE(b.started());
    // The test's lines hang up after each, as nexoctl's do: a request pipe held open would
    // make every exchange of nexoctl wait for a hang-up that does not come.
    auto req = [&b](const std::string& line) { return b.client().request_and_hang_up(line); };
    // 20:1 video, detection left off so the daemon never takes the measured format over.
    for (const char* line :
         {"SET RX_IP_DEST 20:1 eth1 r 239.1.1.1 5004 96",
          "SET RX_VID_FMT 20:1 YCR422 10 P 1920 1080 59.94", "SET RX_STR_ENA 20:1 on",
          "SET RX_IP_DEST 30:0 eth1 r 239.1.1.2 5006 97", "SET RX_AUD_FMT 30:0 2 L24 48000 1",
          "SET RX_STR_ENA 30:0 on"}) {
        const std::string reply = req(line);
        ASSERT_TRUE(reply.starts_with("RSET ") && reply.ends_with(" OK\n"))
            << line << ": " << reply;
    }
    static constexpr const char* kDomains[] = {"overall", "link", "connection", "synchronization",
                                               "stream"};
    // After each step, channel 20:1's statuses ("overall link connection synchronization
    // stream"), the message of `domain` holding `words`, and the synchronisation source.
    auto expect = [&](const char* what, const std::string& statuses, const char* domain,
                      const char* words, const std::string& source) {
        SCOPED_TRACE(what);
        std::istringstream in(statuses);
        std::vector<std::string> want{std::istream_iterator<std::string>(in), {}};
        json h;
        // The daemon reads the detector when asked and the interface's state settles at once,
        // but a loaded machine makes each nexoctl run slow: the limit is generous.
        bool reached = wait_until(
            [&] {
                h = status_health()["20:1"];
                for (int i = 0; i < 5; ++i) {
                    if (!h.is_object() || h[kDomains[i]]["status"] != want[i]) {
                        return false;
                    }
                }
                return true;
            },
            30s);
        EXPECT_TRUE(reached) << h.dump(1);
        if (reached) {
            const std::string message = h[domain]["message"].get<std::string>();
            EXPECT_NE(message.find(words), std::string::npos) << message;
            const json& src = h["synchronization"]["source"];
            EXPECT_EQ(src.is_null() ? "" : src.get<std::string>(), source);
        }
    };
    const std::string gm = "02-00-00-ff-fe-00-00-01", other_gm = "02-00-00-ff-fe-00-00-aa";
    const std::string healthy = "Healthy AllUp Healthy Healthy Healthy";
    expect("switched on, nothing arriving", "Unhealthy AllUp Unhealthy Healthy Unhealthy",
           "connection", "no signal", gm);
    b.dev().set_detector(1, kStreamDetected);
    expect("a sender starts: measuring",
           "PartiallyHealthy AllUp PartiallyHealthy Healthy PartiallyHealthy", "connection",
           "being measured", gm);
    b.dev().set_detector(1, kFormatDetected, k1080p);
    expect("the configured format measured", healthy, "stream",
           "configured format YCR422 10 P 1920 1080 59.94", gm);
    b.dev().set_detector(1, kFormatDetected, k720p);
    expect("the sender sends another format", "Unhealthy AllUp Healthy Healthy Unhealthy", "stream",
           "receiving YCR422 10 P 1280 720 59.94 but configured for YCR422 10 P 1920 1080 59.94",
           gm);
    ASSERT_EQ(run({"ip", "link", "set", "eth1", "down"}), 0);
    expect("eth1 down", "Unhealthy AllDown Healthy Healthy Unhealthy", "link", "eth1 is down", gm);
    ASSERT_EQ(run({"ip", "link", "set", "eth1", "up"}), 0);
    b.dev().set_detector(1, kFormatDetected, k1080p);
    expect("eth1 up, the sender back to the configured format", healthy, "link", "eth1 is up", gm);
    peer_reply(b.timing(), "PTP_LOCK_STATE", "RGET PTP_LOCK_STATE UNLOCKED");
    expect("lock lost", "Unhealthy AllUp Healthy Unhealthy Healthy", "synchronization",
           "not locked", "");
    b.timing().set_rule("PTP_LOCK_STATE", peer_rule{});
    peer_reply(b.timing(), "PTP_CLK_ID", "RGET PTP_CLK_ID 020000.fffe.0000aa");
    expect("lock regained with another grandmaster", healthy, "synchronization",
           "locked to grandmaster 02-00-00-ff-fe-00-00-aa", other_gm);
    b.dev().set_detector(1, kBusy);
    expect("the sender stops", "Unhealthy AllUp Unhealthy Healthy Unhealthy", "connection",
           "no signal", other_gm);
    ASSERT_EQ(req("SET RX_STR_ENA 20:1 off"), "RSET RX_STR_ENA 20:1 OK\n");
    expect("switched off", "Inactive AllUp Inactive Healthy Inactive", "overall", "receiver off",
           other_gm);

    // The audio channel never reads Healthy: the board cannot see its packets.
    json audio = status_health()["30:0"];
    EXPECT_EQ(audio["connection"]["status"], "PartiallyHealthy");
    EXPECT_NE(audio["connection"]["message"].get<std::string>().find("no detector on audio"),
              std::string::npos);
}

TEST(rx_health, watch_prints_changes_with_a_timestamp_and_leaves_on_sigterm) {
    board b;
    ASSERT_TRUE(b.started());
    const char* out_path = "/run/watch.out";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = ::open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::execl(NEXOCTL_PATH, "nexoctl", "--pipes", "/run", "watch", "--interval", "100",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    auto output = [&] {
        std::ifstream in(out_path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Every channel once, then only what changes.
    EXPECT_TRUE(
        wait_until([&] { return output().find("40:3 Inactive") != std::string::npos; }, 30s))
        << output();
    ASSERT_EQ(run({"ip", "link", "set", "eth1", "down"}), 0);
    EXPECT_TRUE(wait_until(
        [&] {
            return output().find("20:0 link AllUp -> AllDown: eth1 is down") != std::string::npos;
        },
        30s))
        << output();
    ::kill(pid, SIGTERM);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::istringstream lines(output());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        // 2026-12-06T08:05:07.161Z 20:0 ...
        ASSERT_GT(line.size(), 25u) << line;
        EXPECT_EQ(line.substr(10, 1) + line.substr(23, 2), "TZ ") << line;
    }
    // Twelve channels, and a link line for each; the channels stay off, so overall does not
    // move.
    EXPECT_EQ(count, 24) << output();
    ASSERT_EQ(run({"ip", "link", "set", "eth1", "up"}), 0);
}

}  // namespace
}  // namespace nexo::sim
