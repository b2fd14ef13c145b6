// nexoctl: the control client of nexo. Sends command lines to the daemon and prints its replies.
//
//   nexoctl [--pipes DIR] [--timeout MS] [LINE words...]
//
// A line goes into DIR/nexo_wr.p (one write, newline added); the reply is read from
// DIR/nexo_rd.p. With LINE, one exchange. Without it, the lines of standard input when that is
// not a terminal (one output line per input line, empty where no reply came; blank input lines
// are skipped), or an interactive prompt with history and completion of GET/SET and the
// keywords when it is.
//
// Exit status (for several lines the worst of them): 0 a reply, 1 the reply "ERROR", 2 no reply
// within the timeout, 3 a usage or I/O error, among them a daemon that is not running.
//
// The daemon has a single reply pipe, so clients take turns: each exchange holds an flock() on
// DIR/nexoctl.lock from before the write until the daemon has taken the hang-up that follows it;
// the lines of one "sdp" or "status" command share one such turn.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "control_exchange.h"
#include "fifo.h"
#include "line_editor.h"
#include "nexoctl_sdp.h"
#include "words.h"

namespace {

namespace client = nexo::client;
using std::chrono::milliseconds;

void complain(const std::string& what) {
    std::fprintf(stderr, "nexoctl: %s\n", what.c_str());
}

// The exchange as the client library's link. Within a session its lines share one hold on the
// lock and the request pipe, taken with the first line; when that cannot be had (said once),
// the session's lines fail without trying again.
class exchange_link : public nexo::client::daemon_link {
  public:
    explicit exchange_link(client::control_exchange& c) : c_(c) {}
    nexo::client::link_reply exchange(const std::string& line) override {
        nexo::client::link_reply r;
        if (sessions_ > 0 && !c_.in_session() &&
            (broken_ || c_.begin_session() != client::kReply)) {
            broken_ = true;
            return r;
        }
        r.status = static_cast<nexo::client::link_status>(c_.exchange(line, &r.text));
        return r;
    }
    void begin_session() override { ++sessions_; }
    void end_session() override {
        if (--sessions_ == 0) {
            c_.end_session();
            broken_ = false;
        }
    }

  private:
    client::control_exchange& c_;
    int sessions_ = 0;
    bool broken_ = false;
};

int run_stdin(client::control_exchange& c) {
    int worst = client::kReply;
    std::string line;
    while (std::getline(std::cin, line)) {
        line = client::trim(line);
        if (line.empty()) {
            continue;
        }
        std::string reply;
        int rc = c.exchange(line, &reply);
        if (rc == client::kFailure) {
            return rc;
        }
        std::printf("%s\n", reply.c_str());
        std::fflush(stdout);
        worst = std::max(worst, rc);
    }
    return worst;
}

// A prompt with history and completion of GET/SET and the keywords (a plain prompt where the
// build has no libedit).
int run_interactive(client::control_exchange& c) {
    client::line_editor editor("nexoctl", client::home_file(".nexoctl_history"),
                               client::control_words);
    std::string line;
    while (editor.read("nexo> ", &line)) {
        if (line.empty()) {
            continue;
        }
        if (line == "quit" || line == "exit") {
            break;
        }
        editor.remember(line);
        std::string reply;
        int rc = c.exchange(line, &reply);
        if (rc == client::kNoReply) {
            complain("no reply");
        } else if (rc != client::kFailure) {
            std::printf("%s\n", reply.c_str());
            std::fflush(stdout);
        }
    }
    return client::kReply;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Sends command lines to the nexo daemon and prints its replies."};
    std::string dir = client::kPipeDir;
    int timeout_ms = 700;
    app.add_option("--pipes", dir, "Directory of the daemon's pipes")->capture_default_str();
    app.add_option("--timeout", timeout_ms, "Milliseconds to wait for a reply")
        ->check(CLI::Range(1, 3600000))
        ->capture_default_str();
    app.set_version_flag("--version", "nexoctl " NEXO_VERSION);
    app.footer(
        "LINE words...  the command line to send, e.g. GET RX_IP_DEST 20:0. Without it, lines\n"
        "are read from standard input (interactive when that is a terminal).\n"
        "Exit status: 0 reply, 1 reply ERROR, 2 no reply, 3 usage or I/O error.\n\n" +
        std::string(nexo::ctl::kSdpHelp));
    // Everything from the first word that is not an option on is the command line, so that
    // its words may look like options (a negative delay, say).
    app.prefix_command();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : client::kFailure;
    }
    // prefix_command() also hands over an unknown option; no command line starts with a dash.
    std::vector<std::string> words = app.remaining();
    if (!words.empty() && words[0].starts_with('-')) {
        complain("unknown option " + words[0] + " (see --help)");
        return client::kFailure;
    }

    // A daemon that goes away mid-write must give EPIPE, not kill us.
    ::signal(SIGPIPE, SIG_IGN);
    // watch runs the same exchanges over and over: a complaint about the pipes or the lock is
    // worth saying once, not every round.
    const bool watching =
        !words.empty() &&
        (words[0] == "watch" || (words[0] == "status" &&
                                 std::find(words.begin(), words.end(), "--follow") != words.end()));
    client::diagnostics report = client::stderr_diagnostics("nexoctl");
    if (watching) {
        report = [said = std::string(), print = report](const std::string& message) mutable {
            if (message != said) {
                print(message);
                said = message;
            }
        };
    }
    client::control_exchange c(dir, milliseconds{timeout_ms}, report);

    if (!words.empty() && nexo::ctl::is_sdp_command(words[0])) {
        // All the lines of one command in one session: one hang-up and one wait for the
        // daemon's reopen, and no other client's line between them.
        exchange_link link(c);
        nexo::client::link_session session(link);
        return nexo::ctl::run_sdp_command(words, link);
    }

    if (!words.empty()) {
        std::string reply;
        int rc = c.exchange(client::join_words(words), &reply);
        if (rc == client::kNoReply) {
            complain("no reply within " + std::to_string(timeout_ms) + " ms");
        } else if (rc != client::kFailure) {
            std::printf("%s\n", reply.c_str());
        }
        return rc;
    }
    if (::isatty(STDIN_FILENO) == 0) {
        return run_stdin(c);
    }
    return run_interactive(c);
}
