#include "nexoctl_sdp.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include "chan_plan.h"
#include "chan_store.h"
#include "interface_addr.h"
#include "rx_health.h"
#include "sdp.h"
#include "status.h"

namespace nexo::ctl {
namespace {

using namespace nexo::client;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 3;

void say(const std::string& what) {
    std::fprintf(stderr, "nexoctl: %s\n", what.c_str());
}

int usage(const std::string& what) {
    say(what + " (see nexoctl sdp --help)");
    return kExitUsage;
}

int status_code(link_status s) {
    return static_cast<int>(s);
}

std::optional<std::string> read_input(const std::string& path) {
    if (path == "-") {
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Parses and plans; prints the refusal and returns 4, or fills *plan (and *text with the
// description) and returns 0.
int plan_file(const std::string& path, std::optional<channel_id> channel, channel_plan* plan,
              std::string* description = nullptr) {
    auto text = read_input(path);
    if (!text) {
        say(path + ": cannot be read");
        return kExitUsage;
    }
    if (description != nullptr) {
        *description = *text;
    }
    sdp_parse_result parsed = parse_sdp(*text);
    if (!parsed.ok()) {
        say("refused: " + path + ": " + to_string(parsed.error) + "; nothing was sent");
        return kExitRefused;
    }
    *plan = plan_channel(*parsed.session, channel);
    if (plan->refused) {
        say("refused: " + path + ": " + to_string(*plan->refused) + "; nothing was sent");
        return kExitRefused;
    }
    for (const std::string& notice : plan->notices) {
        say("notice: " + notice);
    }
    return kExitOk;
}

// The board's IPv4 address on the interface the daemon receives on, "" when it has none.
std::string board_address(daemon_link& link) {
    link_reply r = link.exchange("GET RX_NET_IF_NAME 0");
    if (r.status != link_status::ok) {
        return "";
    }
    return interface_ipv4(r.text.substr(r.text.find_last_of(' ') + 1));
}

void print_lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::printf("%s\n", line.c_str());
    }
}

struct args {
    std::vector<std::string> positional;
    std::optional<std::string> channel;
    bool enable = false;
    bool dry_run = false;
    bool force = false;
    bool json = false;
    bool follow = false;
    int interval_ms = 500;
    std::string state_dir = kDefaultStateDir;
    bool help = false;
    std::string unknown;
};

// Milliseconds from 50 to an hour.
std::optional<int> parse_ms(const std::string& text) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 50 || v > 3600000) {
        return std::nullopt;
    }
    return v;
}

args split_args(const std::vector<std::string>& words, std::size_t from) {
    args a;
    for (std::size_t i = from; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--channel" && i + 1 < words.size()) {
            a.channel = words[++i];
        } else if (w.starts_with("--channel=")) {
            a.channel = w.substr(10);
        } else if (w == "--enable") {
            a.enable = true;
        } else if (w == "--dry-run") {
            a.dry_run = true;
        } else if (w == "--force") {
            a.force = true;
        } else if (w == "--state-dir" && i + 1 < words.size()) {
            a.state_dir = words[++i];
        } else if (w == "--json") {
            a.json = true;
        } else if (w == "--follow") {
            a.follow = true;
        } else if (w == "--interval" && i + 1 < words.size()) {
            auto ms = parse_ms(words[++i]);
            a.interval_ms = ms.value_or(-1);
            if (!ms && a.unknown.empty()) {
                a.unknown = "--interval " + words[i];
            }
        } else if (w == "--help" || w == "-h") {
            a.help = true;
        } else if (w.size() > 1 && w[0] == '-' && a.unknown.empty()) {
            a.unknown = w;
        } else {
            a.positional.push_back(w);
        }
    }
    return a;
}

std::optional<channel_id> channel_arg(const std::string& text) {
    auto ch = parse_channel(text);
    if (!ch) {
        say("unknown channel " + text + " (20:0 to 20:3, 30:0 to 30:3, 40:0 to 40:3)");
    }
    return ch;
}

int run_check(const args& a) {
    if (a.positional.size() != 1) {
        return usage("sdp check takes one FILE");
    }
    std::optional<channel_id> ch;
    if (a.channel && !(ch = channel_arg(*a.channel))) {
        return kExitUsage;
    }
    channel_plan plan;
    if (int rc = plan_file(a.positional[0], ch, &plan); rc != kExitOk) {
        return rc;
    }
    print_lines(config_lines(plan.config, false));
    return kExitOk;
}

int run_apply(const args& a, daemon_link& link) {
    if (a.positional.size() != 2) {
        return usage("sdp apply takes CHANNEL and FILE (or - for standard input)");
    }
    auto ch = channel_arg(a.positional[0]);
    if (!ch) {
        return kExitUsage;
    }
    channel_plan plan;
    std::string text;
    if (int rc = plan_file(a.positional[1], ch, &plan, &text); rc != kExitOk) {
        return rc;
    }
    if (!a.force) {
        conflict_check c = check_conflicts(link, plan.config);
        if (c.failed) {
            say("reading the other channels failed: " + to_string(*c.failed));
            return std::max(status_code(c.failed->reply.status), kExitError);
        }
        if (c.conflict) {
            say("refused: " + *c.conflict + "; nothing was sent (--force applies it anyway)");
            return kExitRefused;
        }
    }
    apply_result r = apply_plan(link, plan, {a.enable, a.dry_run});
    print_lines(r.lines);
    for (const std::string& m : r.messages) {
        say(m);
    }
    // Kept for sdp get, which restores from it what the board does not store.
    std::string error;
    if (r.status == link_status::ok && !a.dry_run &&
        !store_description(a.state_dir, *ch, text, &error)) {
        say("warning: the description was applied but not kept (" + error +
            "): sdp get will give the implied defaults");
    }
    return status_code(r.status);
}

int run_get(const args& a, daemon_link& link) {
    if (a.positional.size() != 1) {
        return usage("sdp get takes one CHANNEL");
    }
    auto ch = channel_arg(a.positional[0]);
    if (!ch) {
        return kExitUsage;
    }
    get_result r = read_channel_sdp(link, *ch, {a.state_dir, board_address(link)});
    for (const std::string& note : r.notes) {
        say("note: " + note);
    }
    if (!r.sdp) {
        say(r.error);
        return r.failed ? std::max(status_code(r.failed->reply.status), kExitError) : kExitError;
    }
    std::fwrite(r.sdp->data(), 1, r.sdp->size(), stdout);
    return kExitOk;
}

int run_status(const args& a, daemon_link& link) {
    if (!a.positional.empty()) {
        return usage("status takes no arguments but --json");
    }
    status_result r = read_status(link, true);
    if (r.failed) {
        say("reading the channels failed: " + to_string(*r.failed));
        return std::max(status_code(r.failed->reply.status), kExitError);
    }
    std::string out =
        a.json ? status_json(r.channels, r.health) : status_table(r.channels, r.health);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return kExitOk;
}

volatile sig_atomic_t stop_watching = 0;

void on_stop_signal(int) {
    stop_watching = 1;
}

// UTC wall-clock time to the millisecond, for people reading the lines as they come.
std::string timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms));
    return std::string(buf) + frac;
}

// Observes every channel about every interval and prints what changed, each line stamped;
// the first round prints every channel. Until SIGINT or SIGTERM, then exit status 0. A
// daemon that cannot be reached is reported once and watched for again.
int run_watch(const args& a, daemon_link& link) {
    if (!a.positional.empty() || a.json) {
        return usage("watch takes no arguments but --interval MS");
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;  // no SA_RESTART: a sleep or a wait for a reply ends
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::vector<rx_observation> last;
    std::string last_failure;
    while (stop_watching == 0) {
        observe_result r = observe_all(link);
        if (stop_watching != 0) {
            break;
        }
        if (r.failed) {
            std::string text = to_string(*r.failed);
            if (text != last_failure) {
                std::printf("%s reading the board failed: %s\n", timestamp().c_str(), text.c_str());
                last_failure = text;
            }
        } else {
            last_failure.clear();
            for (std::size_t i = 0; i < r.channels.size(); ++i) {
                const rx_observation* before = i < last.size() ? &last[i] : nullptr;
                for (const std::string& line : health_changes(before, r.channels[i])) {
                    std::printf("%s %s\n", timestamp().c_str(), line.c_str());
                }
            }
            last = std::move(r.channels);
        }
        std::fflush(stdout);
        timespec pause{a.interval_ms / 1000, (a.interval_ms % 1000) * 1000000L};
        while (stop_watching == 0 && ::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    return kExitOk;
}

}  // namespace

const char* const kSdpHelp =
    "SDP and status:\n"
    "  sdp check FILE [--channel CH]   parse and check a session description without a\n"
    "                                  daemon; print the lines apply would send\n"
    "  sdp apply CH FILE|- [--enable] [--dry-run] [--force]\n"
    "                                  configure channel CH from the description (--enable\n"
    "                                  switches it on; --dry-run prints the lines only); on a\n"
    "                                  failure part way the channel is set back as it was; a\n"
    "                                  group or stream another channel would lose is refused\n"
    "                                  unless --force\n"
    "  sdp get CH                      the channel as an ST 2110 session description,\n"
    "                                  completed from the description apply kept\n"
    "  --state-dir DIR                 where apply keeps descriptions (/var/lib/nexo)\n"
    "  status [--json]                 all twelve channels at a glance, with each one's\n"
    "                                  link, connection, sync, stream and overall status\n"
    "  watch [--interval MS]           print status changes as they happen, each line\n"
    "  status --follow                 timestamped (every 500 ms; until Ctrl-C)\n"
    "  Channels: 20:0-20:3 video/raw, 30:0-30:3 audio/L16 and L24, 40:0-40:3 video/smpte291.\n"
    "  Exit status 4: the description was refused before anything was sent.\n";

bool is_sdp_command(const std::string& word) {
    return word == "sdp" || word == "status" || word == "watch";
}

int run_sdp_command(const std::vector<std::string>& words, daemon_link& link) {
    if (words.empty()) {
        return kExitUsage;
    }
    bool status = words[0] == "status" || words[0] == "watch";
    args a = split_args(words, status ? 1 : 2);
    if (a.help || (!status && words.size() < 2)) {
        std::fputs(kSdpHelp, stdout);
        return a.help ? kExitOk : kExitUsage;
    }
    if (!a.unknown.empty()) {
        return usage("unknown option " + a.unknown);
    }
    if (words[0] == "watch" || (status && a.follow)) {
        return run_watch(a, link);
    }
    if (status) {
        return run_status(a, link);
    }
    const std::string& verb = words[1];
    if (verb == "check") {
        return run_check(a);
    }
    if (verb == "apply") {
        return run_apply(a, link);
    }
    if (verb == "get") {
        return run_get(a, link);
    }
    if (verb == "--help" || verb == "-h") {
        std::fputs(kSdpHelp, stdout);
        return kExitOk;
    }
    return usage("unknown sdp command " + verb);
}

}  // namespace nexo::ctl
