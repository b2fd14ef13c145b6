// nexo-sim: the real nexo daemon on the simulated board (sandbox, emulated FPGA, timing and
// media-transport peers), driven as its control client.
//
//   nexo-sim [-c LINE]... [--script FILE] [--timeout MS] [--streams]
//            [--nmos PORT [--dns-sd] [--tls] [--auth] [--pki DIR]] [-v] [-- NEXO ARGS...]
//
// With -c or --script the lines are sent in that order; otherwise, when standard input is not a
// terminal, its lines are. Each control line gives exactly one line on standard output: the
// daemon's reply, or an empty line when none came within the timeout. Lines beginning with ':'
// are simulator commands (":help"); they print on standard error and nothing on standard
// output. On a terminal there is a prompt with history and completion instead.
//
// Exits with the daemon's exit status after SIGTERM, with the program's status when it did not
// come up, or 125 when the simulated board could not be built.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth_server.h"
#include "board.h"
#include "fpga.h"
#include "line_editor.h"
#include "mdns_responder.h"
#include "nmos_node.h"
#include "node_security.h"
#include "peer.h"
#include "rtp_sender.h"
#include "sandbox.h"
#include "wire_tap.h"
#include "words.h"

namespace {

using std::chrono::milliseconds;
namespace sim = nexo::sim;

volatile sig_atomic_t quit_signal = 0;

void on_quit_signal(int sig) {
    quit_signal = sig;
}

struct session {
    sim::board& b;
    bool interactive;
    milliseconds timeout;
    FILE* out;  // where simulator commands print: stdout on a terminal, else stderr
    bool quit = false;
    std::map<std::string, std::unique_ptr<sim::rtp_sender>> senders;  // by name, :stream
};

using nexo::client::join_words;
using nexo::client::split_words;

bool parse_u32(const std::string& s, uint32_t& v) {
    int base = 10;
    const char* b = s.data();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        b += 2;
    }
    auto [end, ec] = std::from_chars(b, s.data() + s.size(), v, base);
    return ec == std::errc() && end == s.data() + s.size();
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (uint8_t c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s.empty() ? "-" : s;
}

sim::peer_sim* peer_named(session& s, const std::string& name) {
    if (name == "timing") {
        return &s.b.timing();
    }
    if (name == "media") {
        return &s.b.media();
    }
    std::fprintf(s.out, "unknown peer '%s' (timing or media)\n", name.c_str());
    return nullptr;
}

// ---- simulator commands --------------------------------------------------------------------

using sim_handler = bool (*)(session&, const std::vector<std::string>&);

struct sim_command {
    const char* name;
    int min_words;  // words after the name
    const char* usage;
    const char* help;
    sim_handler fn;
};

bool cmd_help(session& s, const std::vector<std::string>&);

bool cmd_quit(session& s, const std::vector<std::string>&) {
    s.quit = true;
    return true;
}

bool cmd_alert(session& s, const std::vector<std::string>& w) {
    sim::peer_sim* p = peer_named(s, w[1]);
    if (p == nullptr) {
        return false;
    }
    const size_t seen = s.b.media().log().size();
    p->send_alert(join_words(w, 2));
    // On a terminal, let the alert's way through the daemon show before the next prompt. The
    // daemon may defer an alert to its next loop iteration, half a second away at most.
    if (s.interactive && p == &s.b.timing()) {
        const auto until = std::chrono::steady_clock::now() + milliseconds(1500);
        while (s.b.media().log().size() == seen && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(20));
        }
    }
    return true;
}

bool cmd_send(session& s, const std::vector<std::string>& w) {
    sim::peer_sim* p = peer_named(s, w[1]);
    if (p == nullptr) {
        return false;
    }
    p->send_line(join_words(w, 2));
    return true;
}

bool cmd_log(session& s, const std::vector<std::string>& w) {
    if (w[1] == "nexo") {
        std::fputs(s.b.daemon().stderr_text().c_str(), s.out);
        return true;
    }
    sim::peer_sim* p = peer_named(s, w[1]);
    if (p == nullptr) {
        return false;
    }
    for (const auto& line : p->log()) {
        std::fprintf(s.out, "%s\n", line.c_str());
    }
    return true;
}

bool cmd_rule(session& s, const std::vector<std::string>& w) {
    sim::peer_sim* p = peer_named(s, w[1]);
    if (p == nullptr) {
        return false;
    }
    if (w[2] == "clear") {
        p->clear_rules();
        return true;
    }
    if (w.size() < 4) {
        return false;
    }
    sim::peer_rule r;
    const std::string& what = w[3];
    if (what == "normal") {
        r.what = sim::peer_rule::action::normal;
    } else if (what == "error") {
        r.what = sim::peer_rule::action::error;
    } else if (what == "silent") {
        r.what = sim::peer_rule::action::silent;
    } else if (what == "reply") {
        r.what = sim::peer_rule::action::reply;
        r.reply = join_words(w, 4);
    } else {
        std::fprintf(s.out, "unknown action '%s'\n", what.c_str());
        return false;
    }
    p->set_rule(w[2], r);
    return true;
}

bool cmd_detector(session& s, const std::vector<std::string>& w) {
    uint32_t v[8] = {};
    if (w.size() != 3 && w.size() != 9) {
        return false;
    }
    for (size_t i = 1; i < w.size(); ++i) {
        if (!parse_u32(w[i], v[i - 1])) {
            std::fprintf(s.out, "not a number: '%s'\n", w[i].c_str());
            return false;
        }
    }
    if (v[0] > 3) {
        std::fprintf(s.out, "detector index 0..3\n");
        return false;
    }
    s.b.dev().set_detector(static_cast<int>(v[0]), v[1],
                           sim::detected_format{v[2], v[3], v[4], v[5], v[6], v[7]});
    return true;
}

bool cmd_journal(session& s, const std::vector<std::string>& w) {
    if (w.size() > 1 && w[1] == "clear") {
        s.b.dev().clear_journal();
        return true;
    }
    for (const auto& r : s.b.dev().journal()) {
        std::fprintf(s.out, "%-22s 0x%08x in=%s value=%llu out=%s err=%d\n", r.node.c_str(),
                     r.request, hex(r.in).c_str(), static_cast<unsigned long long>(r.value),
                     hex(r.out).c_str(), r.error);
    }
    return true;
}

bool cmd_igmp(session& s, const std::vector<std::string>&) {
    std::fputs(sim::read_file("/proc/net/igmp").c_str(), s.out);
    std::fputs(sim::read_file("/proc/net/mcfilter").c_str(), s.out);
    return true;
}

bool cmd_fds(session& s, const std::vector<std::string>&) {
    for (const auto& target : s.b.daemon().open_fds()) {
        std::fprintf(s.out, "%s\n", target.c_str());
    }
    return true;
}

bool cmd_timeout(session& s, const std::vector<std::string>& w) {
    uint32_t ms = 0;
    if (!parse_u32(w[1], ms) || ms == 0) {
        return false;
    }
    s.timeout = milliseconds(ms);
    return true;
}

bool cmd_sleep(session&, const std::vector<std::string>& w) {
    uint32_t ms = 0;
    if (!parse_u32(w[1], ms)) {
        return false;
    }
    std::this_thread::sleep_for(milliseconds(ms));
    return true;
}

bool run_and_print(session& s, const std::vector<std::string>& argv, bool on_host) {
    std::string out;
    int status = on_host ? sim::run_on_host(argv, &out) : sim::run(argv, &out);
    std::fputs(out.c_str(), s.out);
    if (status != 0) {
        std::fprintf(s.out, "(status %d)\n", status);
    }
    return status >= 0;
}

bool cmd_sh(session& s, const std::vector<std::string>& w) {
    // The program may be a control client (nexoctl): with our end of the request pipe open,
    // the daemon never sees its hang-ups and each of its exchanges waits them out.
    s.b.client().hang_up();
    return run_and_print(s, std::vector<std::string>(w.begin() + 1, w.end()), false);
}

bool cmd_host(session& s, const std::vector<std::string>& w) {
    return run_and_print(s, std::vector<std::string>(w.begin() + 1, w.end()), true);
}

std::string sdp_path(const std::string& name) {
    return "/run/" + name + ".sdp";
}

bool cmd_stream(session& s, const std::vector<std::string>& w) {
    if (s.b.tap() == nullptr) {
        std::fprintf(s.out, "no streams on this board: start nexo-sim with --streams\n");
        return true;
    }
    const std::string& verb = w[1];
    if (verb == "list") {
        for (auto& [name, snd] : s.senders) {
            const bool ffmpeg = snd->desc().via == sim::sender_kind::ffmpeg;
            std::fprintf(s.out, "%s %s (%s, SDP %s%s%s)\n", name.c_str(),
                         sim::describe(snd->desc()).c_str(), snd->running() ? "sending" : "stopped",
                         sdp_path(name).c_str(), ffmpeg ? ", FFmpeg's own " : "",
                         ffmpeg ? sim::native_sdp_path(sdp_path(name)).c_str() : "");
        }
        return true;
    }
    if (w.size() < 3) {
        return false;
    }
    const std::string& name = w[2];
    if (verb == "start") {
        sim::stream_desc d;
        std::string error;
        if (!sim::parse_stream_desc(std::vector<std::string>(w.begin() + 3, w.end()), d, &error)) {
            std::fprintf(s.out, "%s\n", error.c_str());
            return false;
        }
        auto snd = std::make_unique<sim::rtp_sender>();
        if (!snd->start(d, sdp_path(name))) {
            std::fprintf(s.out, "the sender did not start:\n%s", snd->log().c_str());
            return true;
        }
        s.senders[name] = std::move(snd);
        return true;
    }
    auto it = s.senders.find(name);
    if (it == s.senders.end()) {
        std::fprintf(s.out, "no stream '%s'\n", name.c_str());
        return true;
    }
    if (verb == "stop") {
        s.senders.erase(it);
    } else if (verb == "sdp" && w.size() == 3) {
        std::fputs(sim::read_file(sdp_path(name)).c_str(), s.out);
    } else if (verb == "sdp" && w.size() == 4 && w[3] == "native") {
        std::fputs(sim::read_file(sim::native_sdp_path(sdp_path(name))).c_str(), s.out);
    } else {
        return false;
    }
    return true;
}

bool cmd_stats(session& s, const std::vector<std::string>& w) {
    if (s.b.tap() == nullptr) {
        std::fprintf(s.out, "no streams on this board: start nexo-sim with --streams\n");
        return true;
    }
    if (w.size() > 1 && w[1] == "clear") {
        s.b.tap()->clear_counters();
        return true;
    }
    std::fputs(sim::format_stats(s.b.tap()->stats()).c_str(), s.out);
    return true;
}

// Waits for an observable event instead of a guessed pause: a line the media-transport
// simulator receives (for instance the decoder enable that ends automatic detection).
bool cmd_await(session& s, const std::vector<std::string>& w) {
    sim::peer_sim* p = peer_named(s, w[1]);
    if (p == nullptr) {
        return false;
    }
    const std::string want = join_words(w, 2);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until && quit_signal == 0) {
        for (const auto& line : p->log()) {
            if (line == want) {
                return true;
            }
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    std::fprintf(s.out, "'%s' did not arrive within 20 s\n", want.c_str());
    return true;
}

// eth1 down or up, as a cable pulled and put back.
bool cmd_link(session& s, const std::vector<std::string>& w) {
    if (w[1] != "up" && w[1] != "down") {
        return false;
    }
    return run_and_print(s, {"ip", "link", "set", "eth1", w[1]}, false);
}

// The timing simulator's lock to its grandmaster: lost (PTP_LOCK_STATE answers UNLOCKED),
// locked (its own answer again), or locked to another grandmaster (PTP_CLK_ID answers it).
bool cmd_ptp(session& s, const std::vector<std::string>& w) {
    sim::peer_rule r;
    if (w[1] == "lost" && w.size() == 2) {
        r.what = sim::peer_rule::action::reply;
        r.reply = "RGET PTP_LOCK_STATE UNLOCKED";
        s.b.timing().set_rule("PTP_LOCK_STATE", r);
    } else if (w[1] == "locked" && w.size() == 2) {
        s.b.timing().set_rule("PTP_LOCK_STATE", r);
    } else if (w[1] == "gm" && w.size() == 3) {
        r.what = sim::peer_rule::action::reply;
        r.reply = "RGET PTP_CLK_ID " + w[2];
        s.b.timing().set_rule("PTP_CLK_ID", r);
    } else {
        return false;
    }
    return true;
}

constexpr std::array<sim_command, 20> kSimCommands{{
    {":help", 0, "", "this list", cmd_help},
    {":quit", 0, "", "stop the daemon and leave (also Ctrl-D)", cmd_quit},
    {":exit", 0, "", "same as :quit", cmd_quit},
    {":alert", 2, "timing|media TEXT...", "the peer sends \"ALRT TEXT\" to nexo", cmd_alert},
    {":send", 2, "timing|media LINE...", "the peer sends a raw line to nexo", cmd_send},
    {":log", 1, "timing|media|nexo", "lines the peer received / nexo's stderr", cmd_log},
    {":rule", 2, "timing|media KEYWORD normal|error|silent|reply TEXT... | clear",
     "how the peer answers KEYWORD", cmd_rule},
    {":detector", 2, "N STATE [WIDTH HEIGHT CSPACE BPC TRNSP RATE]",
     "set what format detector N reports", cmd_detector},
    {":journal", 0, "[clear]", "ioctls the FPGA has seen", cmd_journal},
    {":igmp", 0, "", "multicast memberships (/proc/net/igmp, mcfilter)", cmd_igmp},
    {":fds", 0, "", "descriptors nexo holds", cmd_fds},
    {":sh", 1, "PROGRAM ARGS...", "run a program in the sandbox (e.g. :sh ip addr)", cmd_sh},
    {":host", 1, "PROGRAM ARGS...", "run a program at the far end of the wire", cmd_host},
    {":timeout", 1, "MS", "how long to wait for a reply", cmd_timeout},
    {":sleep", 1, "MS", "pause, e.g. to let an alert travel before :log", cmd_sleep},
    {":stream", 1,
     "start NAME video|audio GROUP:PORT FORMAT [depth=10|rgb|ptime=125|src=ADDR|via=ffmpeg] | "
     "stop NAME | sdp NAME [native] | list",
     "real RTP senders behind the switch (--streams), e.g. video 239.1.1.1:5004 1280x720p25",
     cmd_stream},
    {":stats", 0, "[clear]", "per filter channel counters and the detectors (--streams)",
     cmd_stats},
    {":await", 2, "timing|media LINE...", "wait up to 20 s until the peer receives LINE",
     cmd_await},
    {":link", 1, "up|down", "eth1 up or down", cmd_link},
    {":ptp", 1, "lost|locked|gm CLOCK-ID",
     "the timing simulator loses or regains its lock, or locks to another grandmaster", cmd_ptp},
}};

bool cmd_help(session& s, const std::vector<std::string>&) {
    std::fprintf(s.out,
                 "Control lines (GET ..., SET ...) go to nexo as the control client sends them.\n"
                 "Simulator commands:\n");
    for (const auto& c : kSimCommands) {
        std::fprintf(s.out, "  %s %s\n      %s\n", c.name, c.usage, c.help);
    }
    std::fprintf(s.out,
                 "Alert texts nexo acts on: 2059_FRA_CHANGED, 2059_TAF_CHANGED, SYNC_FAULT.\n");
    return true;
}

void sim_command_line(session& s, const std::string& line) {
    std::vector<std::string> w = split_words(line);
    for (const auto& c : kSimCommands) {
        if (w[0] != c.name) {
            continue;
        }
        bool ok = static_cast<int>(w.size()) - 1 >= c.min_words && c.fn(s, w);
        if (!ok) {
            std::fprintf(s.out, "usage: %s %s\n", c.name, c.usage);
        }
        std::fflush(s.out);
        return;
    }
    std::fprintf(s.out, "unknown command '%s' (:help lists them)\n", w[0].c_str());
}

// ---- control lines ---------------------------------------------------------------------------

// Sends one control line and returns the reply without its newline ("" when none came). A line
// nexo sent unasked (a peer's stray line, a reply that came too late) is reported on stderr
// rather than taken for this line's reply.
std::string control_line(session& s, const std::string& line) {
    std::string stray = s.b.client().read(milliseconds(0), false);
    if (!stray.empty()) {
        std::fprintf(stderr, "[nexo] unsolicited: %s", stray.c_str());
        if (stray.back() != '\n') {
            std::fputc('\n', stderr);
        }
    }
    std::string reply = s.b.client().request(line, s.timeout);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) {
        reply.pop_back();
    }
    return reply;
}

// One line of a script, of -c or of standard input: exactly one line on stdout for a control
// line, none for a simulator command.
void batch_line(session& s, const std::string& line) {
    if (!line.empty() && line[0] == ':') {
        sim_command_line(s, line);
        return;
    }
    std::string reply = control_line(s, line);
    std::fprintf(stdout, "%s\n", reply.c_str());
    std::fflush(stdout);
}

// ---- the prompt ------------------------------------------------------------------------------

// Control lines complete as in nexoctl; simulator commands complete their names and arguments.
std::vector<std::string> completion_words(const std::vector<std::string>& before) {
    const std::string first = before.empty() ? "" : before[0];
    if (before.empty()) {
        std::vector<std::string> words = nexo::client::control_words(before);
        for (const auto& c : kSimCommands) {
            words.emplace_back(c.name);
        }
        return words;
    }
    if (before.size() == 1 &&
        (::strcasecmp(first.c_str(), "GET") == 0 || ::strcasecmp(first.c_str(), "SET") == 0)) {
        return nexo::client::control_words(before);
    }
    if (before.size() == 1 && first == ":stream") {
        return {"start", "stop", "sdp", "list"};
    }
    if (before.size() == 1 && first == ":stats") {
        return {"clear"};
    }
    if (before.size() == 1 && (first == ":alert" || first == ":send" || first == ":rule" ||
                               first == ":log" || first == ":await")) {
        std::vector<std::string> words{"timing", "media"};
        if (first == ":log") {
            words.emplace_back("nexo");
        }
        return words;
    }
    if (before.size() == 2 && first == ":alert") {
        return {"2059_FRA_CHANGED", "2059_TAF_CHANGED", "SYNC_FAULT"};
    }
    if (before.size() == 2 && first == ":rule") {
        std::vector<std::string> words = sim::peer_sim::keywords(
            before[1] == "timing" ? sim::peer_kind::timing : sim::peer_kind::media);
        words.emplace_back("clear");
        return words;
    }
    if (before.size() == 3 && first == ":rule") {
        return {"normal", "error", "silent", "reply"};
    }
    return {};
}

void interactive(session& s) {
    nexo::client::line_editor editor("nexo-sim", nexo::client::home_file(".nexo_sim_history"),
                                     completion_words);
    std::fprintf(stderr,
                 "nexo is up (pid %d). Control lines go to nexo; :help lists the "
                 "simulator commands; Ctrl-D or Ctrl-C leaves.\n",
                 static_cast<int>(s.b.daemon().pid()));
    std::string line;
    while (!s.quit && quit_signal == 0) {
        if (!editor.read("nexo> ", &line) || quit_signal != 0) {
            std::fputc('\n', stdout);
            break;
        }
        if (line.empty()) {
            continue;
        }
        editor.remember(line);
        if (line[0] == ':') {
            sim_command_line(s, line);
        } else {
            std::string reply = control_line(s, line);
            if (reply.empty()) {
                std::printf("(no reply within %lld ms)\n",
                            static_cast<long long>(s.timeout.count()));
            } else {
                std::printf("%s\n", reply.c_str());
            }
            std::fflush(stdout);
        }
        if (!s.b.daemon().running()) {
            std::fprintf(stderr, "nexo has exited (code %d)\n", s.b.daemon().exit_code());
            break;
        }
    }
}

bool read_script(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "nexo-sim: cannot read %s\n", path.c_str());
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        // Blank lines and comments make scripts readable; they are not sent.
        size_t lead = line.find_first_not_of(" \t\r");
        if (lead == std::string::npos || line[lead] == '#') {
            continue;
        }
        lines.push_back(line);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The nexo daemon on a simulated board, driven as its control client."};
    std::vector<std::string> commands;
    std::string script;
    unsigned timeout_ms = 700;
    bool verbose = false;
    std::vector<std::string> nexo_args;
    app.add_option("-c,--command", commands, "control line (or :simulator command) to send")
        ->allow_extra_args(false);
    app.add_option("--script", script, "file of lines to send (# comments, blank lines skipped)")
        ->check(CLI::ExistingFile);
    app.add_option("--timeout", timeout_ms, "reply timeout in milliseconds (default 700)")
        ->check(CLI::PositiveNumber);
    bool streams = false;
    app.add_flag("--streams", streams,
                 "real streams: a snooping switch at the far end, senders behind it, the filter "
                 "and detectors acting on packets (the switch takes some seconds to settle)");
    app.add_flag("-v,--verbose", verbose,
                 "show nexo's stderr and the peers' traffic on stderr in batch mode too");
    app.add_option("nexo-args", nexo_args, "arguments for nexo (after --)");
    int nmos_port = 0;
    app.add_option("--nmos", nmos_port,
                   "also run the NMOS node on this port, reachable from outside the sandbox")
        ->check(CLI::Range(1, 65535));
    bool dns_sd = false;
    app.add_flag("--dns-sd", dns_sd,
                 "run the board's Avahi daemon, so that the node finds registries announced on "
                 "the wire and announces itself there")
        ->needs("--nmos");
    bool tls = false, auth = false;
    std::string pki_dir = "/tmp/nexo-sim-pki";
    app.add_flag("--tls", tls,
                 "serve the node over https only, with certificates of a throwaway CA "
                 "(ca.pem in the --pki directory)")
        ->needs("--nmos");
    app.add_flag("--auth", auth,
                 "the node requires access tokens: a stand-in Authorization Server on the next "
                 "port gives them to clients test-controller and test-reader (secrets in the "
                 "--pki directory)")
        ->needs("--nmos");
    app.add_option("--pki", pki_dir,
                   "directory for certificates, keys and secrets (default /tmp/nexo-sim-pki)");
    CLI11_PARSE(app, argc, argv);

    // Made outside the sandbox, so that clients outside find them.
    sim::node_security security;
    if (std::string why;
        (tls || auth) &&
        !sim::prepare_node_security(pki_dir, tls, auth ? nmos_port + 1 : 0, &security, &why)) {
        std::fprintf(stderr, "nexo-sim: %s\n", why.c_str());
        return 125;
    }
    int auth_outside = auth ? sim::outside_listener(nmos_port + 1) : -1;
    if (auth && auth_outside < 0) {
        return 125;
    }

    // The outside port is opened before the sandbox is entered, so that it stays outside.
    int nmos_outside = nmos_port != 0 ? sim::outside_listener(nmos_port) : -1;
    if (nmos_port != 0 && nmos_outside < 0) {
        return 125;
    }
    // The node's control protocol (WebSocket) two ports up: the Authorization Server has the
    // one between.
    const int ncp_port = nmos_port != 0 ? nmos_port + 2 : 0;
    int ncp_outside = ncp_port != 0 ? sim::outside_listener(ncp_port) : -1;
    if (ncp_port != 0 && ncp_outside < 0) {
        return 125;
    }
    // First, while this process has only its one thread.
    if (sim::sandbox_enter() != 0) {
        return 125;
    }

    const bool batch = !commands.empty() || !script.empty();
    const bool interactive_mode = !batch && ::isatty(STDIN_FILENO) != 0;
    const bool show_traffic = interactive_mode || verbose;
    std::vector<std::string> lines = commands;
    if (!script.empty() && !read_script(script, lines)) {
        return 2;
    }

    // Stop cleanly on a termination request: the daemon must not outlive us, or it would keep
    // the namespaces alive.
    struct sigaction sa {};
    sa.sa_handler = on_quit_signal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    sim::board_options opts;
    opts.daemon.args = nexo_args;
    opts.streams = streams;
    std::atomic<bool> printed_daemon_output{false};
    if (show_traffic) {
        opts.daemon.on_stderr_line = [&printed_daemon_output](const std::string& l) {
            printed_daemon_output = true;
            std::fprintf(stderr, "[nexo] %s\n", l.c_str());
        };
    }
    std::unique_ptr<sim::board> b;
    try {
        b = std::make_unique<sim::board>(opts);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nexo-sim: cannot build the simulated board: %s\n", e.what());
        return 125;
    }
    if (!b->started()) {
        sim::daemon_process& d = b->daemon();
        if (!printed_daemon_output) {
            std::fputs(d.stderr_text().c_str(), stderr);
        }
        if (d.running()) {
            std::fprintf(stderr, "nexo-sim: nexo detached but did not come up\n");
            d.stop(SIGTERM);
            return 1;
        }
        std::fprintf(stderr, "nexo-sim: nexo did not start (exit code %d)\n", d.exit_code());
        return d.exit_code() < 0 ? 1 : d.exit_code();
    }
    if (show_traffic) {
        b->timing().on_line(
            [](const std::string& l) { std::fprintf(stderr, "[timing] %s\n", l.c_str()); });
        b->media().on_line(
            [](const std::string& l) { std::fprintf(stderr, "[media] %s\n", l.c_str()); });
    }

    sim::mdns_responder mdns;
    if (dns_sd && !mdns.start()) {
        std::fprintf(stderr, "nexo-sim: the board's Avahi daemon did not start:\n%s",
                     mdns.log().c_str());
        b->daemon().stop(SIGTERM);
        return 1;
    }
    std::unique_ptr<sim::auth_server> auth_server;
    std::unique_ptr<sim::port_forward> auth_forward;
    if (auth) {
        auth_server = sim::start_auth_server(security);
        if (!auth_server) {
            std::fprintf(stderr, "nexo-sim: the stand-in Authorization Server did not start\n");
            b->daemon().stop(SIGTERM);
            return 1;
        }
        auth_forward =
            std::make_unique<sim::port_forward>(auth_outside, nmos_port + 1, sim::kHostAddr);
        std::fprintf(stderr, "nexo-sim: Authorization Server on port %d (%s)\n", nmos_port + 1,
                     auth_server->issuer().c_str());
    }
    sim::nmos_node node;
    std::unique_ptr<sim::port_forward> ncp_forward;
    if (nmos_port != 0) {
        std::vector<std::string> node_args = security.node_args;
        node_args.insert(node_args.end(), {"--ncp-port", std::to_string(ncp_port)});
        if (!node.start(nmos_port, node_args, nmos_outside)) {
            std::fprintf(stderr, "nexo-sim: the NMOS node did not start:\n%s",
                         node.output().c_str());
            b->daemon().stop(SIGTERM);
            return 1;
        }
        std::fprintf(stderr, "nexo-sim: NMOS node on port %d (%s://localhost:%d/x-nmos/)\n",
                     nmos_port, tls ? "https" : "http", nmos_port);
        ncp_forward = std::make_unique<sim::port_forward>(ncp_outside, ncp_port);
        std::fprintf(stderr, "nexo-sim: control protocol on port %d (%s://localhost:%d%s)\n",
                     ncp_port, tls ? "wss" : "ws", ncp_port, "/x-nmos/ncp/v1.0");
    }

    session s{
        *b, interactive_mode, milliseconds(timeout_ms), interactive_mode ? stdout : stderr, false,
        {}};
    if (batch) {
        for (const auto& line : lines) {
            if (s.quit || quit_signal != 0) {
                break;
            }
            batch_line(s, line);
        }
    } else if (interactive_mode) {
        interactive(s);
    } else {
        std::string line;
        while (!s.quit && quit_signal == 0 && std::getline(std::cin, line)) {
            batch_line(s, line);
        }
    }

    s.senders.clear();
    // Observers print from the peers' threads; take them away before the peers go.
    b->timing().on_line(nullptr);
    b->media().on_line(nullptr);
    if (nmos_port != 0) {
        node.stop();
        std::fputs(node.output().c_str(), stderr);  // the node's own account, after the session
    }
    int code = b->daemon().stop(SIGTERM);
    if (code < 0) {
        std::fprintf(stderr, "nexo-sim: nexo did not stop on SIGTERM; killed\n");
        code = 1;
    } else if (code != 0) {
        if (!show_traffic) {
            std::fputs(b->daemon().stderr_text().c_str(), stderr);
        }
        std::fprintf(stderr, "nexo-sim: nexo exited with code %d\n", code);
    }
    b.reset();
    return code;
}
