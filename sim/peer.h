// Simulated peer daemons on the daemon's real FIFOs: the timing daemon (link 0) and the
// media-transport daemon (link 2).
//
// A peer reads the daemon's write pipe of its link and writes the daemon's read pipe:
//   timing:          reads <dir>/ST2059_wr.p,  writes <dir>/ST2059_rd.p
//   media-transport: reads <dir>/smpte2110w.p, writes <dir>/smpte2110r.p
// It creates a FIFO that does not exist yet (mode 0660), and opens both ends read-write so
// that it never sees end-of-file and never fails for want of a reader.
//
// Every request line ("GET KEYWORD args..." / "SET KEYWORD args...") is answered with exactly
// one line: "RGET "/"RSET " + keyword + plausible fields, or "ERROR" for a keyword that is not in
// the peer's routing table or a line that is not a request. State reads back: a SET stores its
// arguments (per channel address when the first argument is one, e.g. 20:0, and per generator
// for PSG_FRQ, RCG_FRQ and the TCG_ keywords) and a later GET of the same keyword and address
// answers them, repeating the address. A SET of a mode name the peer does not know (e.g. for
// ST2110_DEC_MC_OPMODE), or of a frequency that is not two numbers, is answered "ERROR".
// Known defaults:
//   timing  "GET 2059_FRA"                 -> "RGET 2059_FRA 30000 1001"
//   timing  "GET PTP_TIME"                 -> "RGET PTP_TIME <TAI seconds> <nanoseconds>"
//   media   "GET ST2110_DEC_MC_OPMODE 20:0" -> "RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH"
//   media   "GET ST2110_ENC_DEF_TR_OFFSET <format text>" -> "RGET ST2110_ENC_DEF_TR_OFFSET 1000"
//   media   "GET ST2110_ENC_DEF_TR_OFFSET 20:0" -> "RGET ST2110_ENC_DEF_TR_OFFSET 20:0 1000"
//   any     "SET KEYWORD args"             -> "RSET KEYWORD args OK"
// Lines beginning "ALRT " are logged and never answered.
//
// Replies leave in the order of the requests: a delayed reply holds back those behind it, while
// requests keep being read and logged. Because the daemon takes a reply with a single read(),
// each line written waits (at most 50 ms) until the daemon has emptied the pipe, so that an
// alert and the reply behind it reach it as two reads. To put two lines into one read, pass
// both to send_line() at once ("A\nB").
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nexo::sim {

enum class peer_kind { timing, media };

// How to answer requests of one keyword (exact, case-sensitive match on the keyword). The
// alerts of a rule are sent as the request arrives, its reply `delay` later, so that an alert
// can land in the middle of the daemon's wait for the reply; action::silent with an alert sends
// the alerts only.
struct peer_rule {
    enum class action { normal, reply, error, silent };
    action what = action::normal;
    std::string reply{};                 // for action::reply: the whole line, no newline
    std::chrono::milliseconds delay{0};  // before answering
    std::string alert_before{};          // alert text; sends "ALRT <text>\n" first
    int alert_repeat = 1;                // how many times to send alert_before
    int times = -1;                      // rule applies to the next `times` requests; -1: all
};

class peer_sim {
  public:
    explicit peer_sim(peer_kind kind, std::string dir = "/var/run");
    ~peer_sim();  // stops and closes
    peer_sim(const peer_sim&) = delete;
    peer_sim& operator=(const peer_sim&) = delete;

    // Creates missing FIFOs, opens them, starts answering on its own thread. Throws
    // std::system_error when a FIFO cannot be created or opened (or the path is not a FIFO).
    void start();
    void stop();  // prompt; drops replies not yet sent. Not from the on_line observer.

    // Scripting.
    void set_rule(const std::string& keyword, peer_rule rule);
    void clear_rules();
    // Sends a raw line (newline added when missing) into the daemon's read pipe now, in one
    // write. Lost while hung up.
    void send_line(const std::string& line);
    void send_alert(const std::string& text) { send_line("ALRT " + text); }
    // Closes its end of the daemon's read pipe (the daemon sees a hang-up), and opens it again.
    // Requests are still read and logged while hung up; their replies are lost. come_back()
    // throws std::system_error when the pipe cannot be opened.
    void hang_up();
    void come_back();

    // Every line received from the daemon, in order, without the newline.
    std::vector<std::string> log() const;
    void clear_log();
    // Waits until a received line (one already logged included) satisfies pred; false on
    // timeout. pred runs with the log locked: it must not call the peer.
    bool wait_for(const std::function<bool(const std::string&)>& pred,
                  std::chrono::milliseconds timeout) const;
    // Waits until a line equal to `line` (no newline) has been received.
    bool wait_for_line(const std::string& line, std::chrono::milliseconds timeout) const;

    // Optional observer called (on the peer's thread) for every received line.
    void on_line(std::function<void(const std::string&)> fn);

    // The routing table of the peer kind (the keywords it answers).
    static const std::vector<std::string>& keywords(peer_kind kind);

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace nexo::sim
