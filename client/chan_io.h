// Reading and configuring receive channels over the daemon's control link.
//
// The library does not open pipes itself: the caller hands it a daemon_link that sends one
// line and returns the one reply line (nexoctl's locked exchange, or any other transport).
// Everything read comes from GET answers at the moment of the call; nothing is cached.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chan_plan.h"

namespace nexo::client {

// The outcome of one exchange. The codes are nexoctl's exit statuses.
enum class link_status {
    ok = 0,        // a reply other than ERROR
    error = 1,     // the reply ERROR
    no_reply = 2,  // nothing within the timeout
    failure = 3,   // the daemon is not running, or the pipes cannot be used
};

struct link_reply {
    link_status status = link_status::failure;
    std::string text;  // the reply line without its line end; "" when none came
};

class daemon_link {
  public:
    virtual ~daemon_link() = default;
    // Sends one line (no line end) and returns the reply.
    virtual link_reply exchange(const std::string& line) = 0;
};

// A daemon_link made of a callable.
class function_link : public daemon_link {
  public:
    explicit function_link(std::function<link_reply(const std::string&)> fn) : fn_(std::move(fn)) {}
    link_reply exchange(const std::string& line) override { return fn_(line); }

  private:
    std::function<link_reply(const std::string&)> fn_;
};

// Everything the daemon answers about one channel.
struct channel_state {
    channel_config config;           // addresses and format as a configuration (see chan_plan.h)
    bool enabled = false;            // RX_STR_ENA ON
    bool interface_enabled = false;  // RX_IP_IF_ENA <interface>/1
    char source_transport = 'U';
    uint32_t source_port = 0;
    std::string format_text;         // RX_VID_FMT or RX_AUD_FMT as answered; "" for 40:x
    bool auto_detect = false;        // RX_FMT_AUTO_DET_ENA ON
    std::string auto_detect_state;   // RX_FMT_AUTO_DET_STATE (video channels)
    std::string auto_detect_format;  // RX_FMT_AUTO_DET_FMT (video channels)
    std::string tx_ts_delay;         // "DEFAULT" or microseconds
    std::string recons_delay;
};

// A failed exchange: the line sent, and the outcome.
struct link_failure {
    std::string line;
    link_reply reply;
};
std::string to_string(const link_failure& f);

// Sends a GET line and returns the reply, or nullopt with *failed set unless the reply is
// "RGET <keyword>" with at least min_words words. Sends nothing when *failed is already set.
std::optional<std::string> ask_get(daemon_link& link, const std::string& line,
                                   std::size_t min_words, std::optional<link_failure>* failed);
// A reply's words (blank- or tab-separated), and the text after its first n words.
std::vector<std::string> split(const std::string& text);
std::string after_words(const std::string& text, std::size_t n);

struct read_result {
    std::optional<channel_state> state;
    std::optional<link_failure> failed;
};

// Asks the daemon for the channel: interface name, addresses, format, enables; with
// details also automatic detection and delays.
read_result read_channel(daemon_link& link, channel_id channel, bool details = false);

struct apply_options {
    bool enable = false;   // switch the channel on afterwards
    bool dry_run = false;  // read the channel and plan, send no SET
};

struct apply_result {
    link_status status = link_status::ok;
    std::vector<std::string> lines;      // sent (or, for a dry run, to be sent)
    std::optional<link_failure> failed;  // the exchange that failed
    bool restored = false;               // after a failure: the channel holds what it held
    std::vector<std::string>
        messages;  // for the operator: warnings, what failed, what was restored
};

// Carries out a plan that was not refused: reads the channel first (its interface name and
// payload size are kept), sends the plan's lines and, when one fails, sends the lines that
// set what the channel held before, as far as the daemon lets a value be set again.
apply_result apply_plan(daemon_link& link, const channel_plan& plan, apply_options options);

// The lines that set what a channel held; values the daemon cannot be given again (an
// address never set, a format never set) are left out.
std::vector<std::string> restore_lines(const channel_state& before);

// The other channels' address blocks on `want`'s interface, read from the daemon and checked
// against `want` (channel_conflict()).
struct conflict_check {
    std::optional<std::string> conflict;  // why the board cannot receive both
    std::optional<link_failure> failed;   // reading a channel failed
};
conflict_check check_conflicts(daemon_link& link, const channel_config& want);

struct get_options {
    std::string state_dir;      // where apply keeps descriptions (chan_store.h); "": none
    std::string board_address;  // the board's address on the receive interface; "": unknown
};
struct get_result {
    std::optional<std::string> sdp;  // CRLF text
    std::optional<link_failure> failed;
    std::string error;               // no description: why
    std::vector<std::string> notes;  // for the operator: where implied defaults stand, and why
};
// Reads the channel and describes it, completed from the description stored for it as long as
// that still matches the board (restore_unstored()).
get_result read_channel_sdp(daemon_link& link, channel_id channel, const get_options& options = {});

}  // namespace nexo::client
