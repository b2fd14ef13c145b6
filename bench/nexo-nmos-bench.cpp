// nexo-nmos-bench: how fast the NMOS node answers and acts, on the simulated board.
//
//   GET latency       p50/p99 of GET .../staged (the node's own state) and GET .../active (read
//                     back from the daemon), from 1 client and from N concurrent clients, each
//                     on a kept-alive connection;
//   activation        an immediate activation of one receiver, and of all twelve in one bulk
//                     request: from sending the request to the last line the media-transport
//                     simulator receives for it;
//   scheduled         an absolute activation at a TAI time of the timing daemon's clock: the
//                     first line the media-transport simulator receives, against the requested
//                     time (the simulated timing daemon's clock is CLOCK_REALTIME + 37 s).
//
// Performance lives here, never in a timed test. Runs as root (or with user namespaces): the
// board is a sandbox of its own.
#include <httplib.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "nmos_node.h"
#include "peer.h"
#include "sandbox.h"

namespace {

using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kPort = 18088;
const std::string kConn = "/x-nmos/connection/v1.1/";

double ms(clock_type::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Times of the lines the media-transport simulator receives.
struct media_clock {
    std::mutex mu;
    std::vector<clock_type::time_point> lines;

    void clear() {
        std::lock_guard lk(mu);
        lines.clear();
    }
    std::vector<clock_type::time_point> taken() {
        std::lock_guard lk(mu);
        return lines;
    }
};

// GET latencies of `path` from `clients` concurrent clients, `per_client` requests each.
std::vector<double> get_latencies(const std::string& path, int clients, int per_client) {
    std::vector<std::vector<double>> per(static_cast<std::size_t>(clients));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client http("127.0.0.1", kPort);
            http.set_keep_alive(true);
            http.set_tcp_nodelay(true);
            http.set_read_timeout(10s);
            for (int i = 0; i < per_client; ++i) {
                auto t0 = clock_type::now();
                httplib::Result r = http.Get(path.c_str());
                auto t1 = clock_type::now();
                if (!r || r->status != 200) {
                    ++failures;
                    continue;
                }
                per[static_cast<std::size_t>(c)].push_back(ms(t1 - t0));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    if (failures > 0) {
        std::fprintf(stderr, "nexo-nmos-bench: %d GETs of %s failed\n", failures.load(),
                     path.c_str());
    }
    std::vector<double> all;
    for (auto& v : per) {
        all.insert(all.end(), v.begin(), v.end());
    }
    return all;
}

json leg(int n) {
    return {{"multicast_ip", "239.30.0." + std::to_string(n + 1)},
            {"source_ip", "192.0.2.1"},
            {"destination_port", 5004 + 2 * n}};
}

// Sends `send` and returns the time from sending to the last media line that follows within
// `settle` of the answer; NaN when the request failed or no line came.
template <typename Send>
double to_last_media_line(media_clock& media, Send send, std::chrono::milliseconds settle) {
    media.clear();
    auto t0 = clock_type::now();
    if (!send()) {
        return std::nan("");
    }
    std::this_thread::sleep_for(settle);
    auto lines = media.taken();
    if (lines.empty()) {
        return std::nan("");
    }
    return ms(lines.back() - t0);
}

timespec tai_now() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += 37;  // the simulated timing daemon's TAI
    return ts;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Latency of the NMOS node on the simulated board."};
    int clients = 50;
    int requests = 200;
    int rounds = 20;
    app.add_option("--clients", clients, "concurrent clients of the loaded GET phase")
        ->capture_default_str();
    app.add_option("--requests", requests, "GETs per client and phase")->capture_default_str();
    app.add_option("--rounds", rounds, "activations of each kind")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (nexo::sim::sandbox_enter() != 0) {
        return 125;
    }
    nexo::sim::board b;
    if (!b.started()) {
        std::fprintf(stderr, "nexo-nmos-bench: the simulated board did not start\n");
        return 125;
    }
    media_clock media;
    b.media().on_line([&media](const std::string&) {
        std::lock_guard lk(media.mu);
        media.lines.push_back(clock_type::now());
    });
    nexo::sim::nmos_node node;
    if (!node.start(kPort, {"--no-dns-sd"})) {
        std::fprintf(stderr, "nexo-nmos-bench: the node did not start:\n%s\n",
                     node.output().c_str());
        return 125;
    }
    httplib::Client http("127.0.0.1", kPort);
    http.set_read_timeout(10s);
    http.set_tcp_nodelay(true);
    json ids = json::parse(http.Get((kConn + "single/receivers/").c_str())->body);
    std::vector<std::string> rx;
    for (const auto& id : ids) {
        rx.push_back(id.get<std::string>());
    }
    const std::string video = kConn + "single/receivers/" + rx[0];

    std::printf("GET latency (ms)                 p50      p99\n");
    for (const char* what : {"staged", "active"}) {
        for (int n : {1, clients}) {
            auto lat = get_latencies(video + what, n, n == 1 ? requests * 5 : requests);
            std::printf("  %-6s %2d client%s %18.2f %8.2f\n", what, n, n == 1 ? " " : "s",
                        percentile(lat, 0.5), percentile(lat, 0.99));
        }
    }

    std::vector<double> one, twelve, scheduled;
    for (int r = 0; r < rounds; ++r) {
        const bool on = r % 2 == 0;  // on and off in turn, so that every round changes the board
        json patch = {{"master_enable", on},
                      {"transport_params", {leg(r % 7)}},
                      {"activation", {{"mode", "activate_immediate"}}}};
        one.push_back(to_last_media_line(
            media,
            [&] {
                auto res = http.Patch((video + "staged").c_str(), patch.dump(), "application/json");
                return res && res->status == 200;
            },
            150ms));

        json bulk = json::array();
        for (std::size_t i = 0; i < rx.size(); ++i) {
            bulk.push_back({{"id", rx[i].substr(0, 36)},
                            {"params",
                             {{"master_enable", on},
                              {"transport_params", {leg(static_cast<int>(i) + r % 3)}},
                              {"activation", {{"mode", "activate_immediate"}}}}}});
        }
        twelve.push_back(to_last_media_line(
            media,
            [&] {
                auto res =
                    http.Post((kConn + "bulk/receivers").c_str(), bulk.dump(), "application/json");
                return res && res->status == 200;
            },
            300ms));

        // Half a second ahead on the timing daemon's clock.
        timespec at = tai_now();
        at.tv_nsec += 500000000;
        if (at.tv_nsec >= 1000000000) {
            at.tv_nsec -= 1000000000;
            ++at.tv_sec;
        }
        json sched = {
            {"master_enable", !on},
            {"activation",
             {{"mode", "activate_scheduled_absolute"},
              {"requested_time", std::to_string(at.tv_sec) + ":" + std::to_string(at.tv_nsec)}}}};
        media.clear();
        auto res = http.Patch((video + "staged").c_str(), sched.dump(), "application/json");
        if (!res || res->status != 202) {
            std::fprintf(stderr, "nexo-nmos-bench: scheduled activation refused: %s\n",
                         res ? res->body.c_str() : "no answer");
            continue;
        }
        std::this_thread::sleep_for(900ms);
        auto lines = media.taken();
        if (lines.empty()) {
            continue;
        }
        // The first line's time on the TAI clock: now, less how long ago it came.
        timespec now = tai_now();
        double first_ms = static_cast<double>(now.tv_sec - at.tv_sec) * 1e3 +
                          static_cast<double>(now.tv_nsec - at.tv_nsec) / 1e6 -
                          ms(clock_type::now() - lines.front());
        scheduled.push_back(first_ms);
    }
    auto report = [](const char* what, const std::vector<double>& v) {
        std::vector<double> ok;
        for (double x : v) {
            if (!std::isnan(x)) {
                ok.push_back(x);
            }
        }
        std::printf("  %-34s %8.2f %8.2f  (%zu of %zu)\n", what, percentile(ok, 0.5),
                    percentile(ok, 0.99), ok.size(), v.size());
    };
    std::printf("Activation (ms)                        p50      p99\n");
    report("one receiver, request to last line", one);
    report("twelve in one bulk request", twelve);
    report("scheduled: first line - requested", scheduled);
    return 0;
}
