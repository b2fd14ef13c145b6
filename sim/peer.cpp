#include "peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "ext_cmds.h"
#include "fifo.h"
#include "unique_fd.h"
#include "words.h"

namespace nexo::sim {

namespace {

using client::join_words;
using client::split_words;
using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long one poll of the request pipe may last: bounds how late stop() is noticed.
constexpr milliseconds kPollSlice{10};
// How long a line waits for the daemon to take the previous one out of the pipe (see
// write_line()).
constexpr milliseconds kDrainWait{50};
// Longest request kept without a newline; beyond it the bytes are handled as one line. The
// daemon's own lines are at most 256 bytes.
constexpr std::size_t kMaxLine = 4096;

struct peer_paths {
    const char* requests;  // the daemon's write pipe: the peer reads it
    const char* replies;   // the daemon's read pipe: the peer writes it
};

peer_paths paths_of(peer_kind kind) {
    const client::link_pipes& link =
        kind == peer_kind::timing ? client::kTimingPipes : client::kMediaPipes;
    return {link.daemon_writes, link.daemon_reads};
}

// What a GET answers before any SET of the keyword: the fields behind the keyword and the
// request's address words. One row per keyword of both routing tables; a keyword missing here
// answers "0".
struct field_default {
    std::string_view keyword;
    std::string_view fields;
};

constexpr std::array kDefaults = std::to_array<field_default>({
    // Timing daemon.
    {"2059_CLO", "0"},
    {"2059_DSV", "0"},
    {"2059_FRA", "30000 1001"},
    {"2059_JSE", "0"},
    {"2059_MLS", "0"},
    {"2059_PLO", "0"},
    {"2059_TAF", "0"},
    {"2059_TNA", "0 0"},
    {"2059_TNJ", "0 0"},
    {"2059_TPA", "0"},
    {"BOUNDARY_HOPS", "1"},
    {"CURR_PI_SET", "0"},
    {"PTP_FREQ_ERR", "0"},
    {"MY_PTP_ID", "020000.fffe.000010"},
    {"NBR_PSG", "4"},
    {"NBR_RCG", "2"},
    {"NBR_TCG", "2"},
    {"PTP_NET_DELAY", "1250"},
    {"NET_IF_NAME", "eth1"},
    {"NET_IF_NBR", "0"},
    {"PKT_FILT_BLK_CNT", "0"},
    {"PKT_FILT_PAS_CNT", "0"},
    {"PTP_CLK_ID", "020000.fffe.000001"},
    {"PTP_LOCK_DIST", "12"},
    {"PTP_LOCK_STATE", "LOCKED"},
    {"PTP_PORT_NBR", "1"},
    {"PTP_TIME", ""},  // the clock itself, see answer_get()
    {"STRT_BND_HOPS", "0"},
    {"ANN_RCPT_TO", "3"},
    {"CF_MST_OFF", "0"},
    {"CA_PPB", "0"},
    {"DELAY_FILTER", "ON"},
    {"DELAY_MECH", "E2E"},
    {"DLY_FILT_LEN", "16"},
    {"DOMAIN_NBR", "127"},
    {"EFFECTUATE", "0"},
    {"EGRESS_LATNC", "0"},
    {"FIRST_STEP_THRESH", "20000"},
    {"HYBRID_E2E", "OFF"},
    {"INGRESS_LATNC", "0"},
    {"LOG_ANN_INT", "-2"},
    {"LOG_FRQ_EST_INT", "0"},
    {"LOG_MIN_DLY_RQ_INT", "-3"},
    {"LOG_MIN_PDLY_INT", "0"},
    {"LOG_PTP_LOCK_STATE", "OFF"},
    {"LOG_SYNC_INT", "-3"},
    {"NET_ASYMM", "0"},
    {"PI_PARM_SW_DLY", "0"},
    {"PI_SRV_IE", "0"},
    {"PI_SRV_IC", "0.3"},
    {"PI_SRV_INM", "0"},
    {"PI_SRV_IS", "0"},
    {"PI_SRV_PC", "0.7"},
    {"PI_SRV_PE", "0"},
    {"PI_SRV_PNM", "0"},
    {"PI_SRV_PS", "0"},
    {"PKT_FILT_ENA", "ON"},
    {"PKT_FILT_RESET_CNT", "0"},
    {"PRIO1", "128"},
    {"PRIO2", "128"},
    {"PSG_FRQ", "30000 1001"},
    {"PTP_LOCK_RANGE", "1000"},
    {"RCG_FRQ", "48000 1"},
    {"SIG_OFFSET", "0"},
    {"STEP_THRESHOLD", "1000000"},
    {"SYNC_REC_TO", "3"},
    {"TCG_DROP_FRAME", "0"},
    {"TCG_PSG", "0"},
    {"TCG_RESYNC", "0"},
    {"TSPROC_MODE", "HW"},
    {"UDP_QOS", "46"},
    {"UDP_TTL", "1"},
    // Media-transport daemon.
    {"ST2110_DEC_VID_FMT", "YCR422 10 P 1920 1080 59.94"},
    {"ST2110_DEC_CHAN_ENA", "OFF"},
    {"ST2110_DEC_NET_PARAMS", "R 96"},
    {"ST2110_DEC_PLAYOUT_DELAY", "1000"},
    {"ST2110_DEC_CLEAR_MEDIA_DELAY_STATS", "0"},
    {"ST2110_DEC_CLEAR_RTP_STATS", "0"},
    {"ST2110_DEC_MC_OPMODE", "PASSTHROUGH"},
    {"ST2110_DEC_MC_TS_MODE", "0"},
    {"ST2110_DEC_AUD_FMT", "2 L24 48000 1"},
    {"ST2110_DEC_ADV_AUD_FMT", "0"},
    {"ST2110_DEC_ANC_TRNSP", "OFF"},
    {"ST2110_DEC_ANC_FLT", "0"},
    {"ST2110_DEC_MEDIA_DELAY_STATS", "120 80 160 40 1000"},
    {"ST2110_DEC_RTP_STATS", "0 0 0 0"},
    {"ST2110_DEC_STREAM_SYNC", "1"},
    {"ST2110_DEC_CHAN_SSRC", "0"},
    {"ST2110_DEC_CHANNELS", "12"},
    {"ST2110_ENC_VID_FMT", "YCR422 10 P 1920 1080 59.94"},
    {"ST2110_ENC_CHAN_ENA", "OFF"},
    {"ST2110_ENC_NET_PARAMS", "R 239.1.1.1 5000 96 1260"},
    {"ST2110_VID_PACK_MODE", "GPM"},
    {"ST2110_21_VID_PKT_SCHED", "GAPPED"},
    {"ST2110_21_OPMODE", "PASSTHROUGH"},
    {"ST2110_21_IPT", "0"},
    {"ST2110_ENC_CLEAR_RTP_STATS", "0"},
    {"ST2110_ENC_MC_OPMODE", "PASSTHROUGH"},
    {"ST2110_ENC_MC_TS_MODE", "0"},
    {"ST2110_ENC_MC_TIME_OFFSET", "0"},
    {"ST2110_ENC_TRF_SHP_OFFSET", "0"},
    {"ST2110_ENC_AUD_FMT", "2 L24 48000 1"},
    {"ST2110_ENC_ADV_AUD_FMT", "0"},
    {"ST2110_ENC_ANC_TRNSP", "OFF"},
    {"ST2110_ENC_ANC_FLT", "0"},
    {"ST2110_22_TICO_BITSTR_PROFILE", "0"},
    {"ST2110_REALIGN_CHANS", "0"},
    {"ST2110_ENC_RTP_STATS", "0 0 0 0"},
    {"ST2110_ENC_STREAM_SYNC", "1"},
    {"ST2110_ENC_CHANNELS", "12"},
    {"ST2110_ENC_SLAVE_CHANS", "0"},
    {"ST2110_ENC_MASTER_CHAN", "20:0"},
    {"ST2110_ENC_DEF_TR_OFFSET", "1000"},
    {"ST2110_ENC_PX_PER_PKT", "480"},
});

// Keywords whose first argument names a generator rather than a value: a SET stores its value
// per generator, as it does per channel for a channel address.
constexpr std::array<std::string_view, 5> kGeneratorKeywords = {
    "PSG_FRQ", "RCG_FRQ", "TCG_PSG", "TCG_DROP_FRAME", "TCG_RESYNC",
};

// Mode names a SET must use (first value word); anything else is refused with ERROR.
struct mode_names {
    std::string_view keyword;
    std::array<std::string_view, 4> names;  // empty entries unused
};

constexpr std::array kModes = std::to_array<mode_names>({
    {"ST2110_DEC_MC_OPMODE", {"PASSTHROUGH", "ST2059_ALIGN", "TIMED_ALIGN", "MCT_ALIGN"}},
    {"ST2110_21_OPMODE", {"PASSTHROUGH", "ST2059_ALIGN", "INP_STR_ALIGN", ""}},
    {"ST2110_21_VID_PKT_SCHED", {"GAPPED", "LINEAR", "", ""}},
});

// Keywords whose values are a frequency, numerator and denominator, both unsigned.
constexpr std::array<std::string_view, 3> kFrequencyKeywords = {"2059_FRA", "PSG_FRQ", "RCG_FRQ"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

bool is_unsigned(std::string_view w) {
    return !w.empty() &&
           std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A channel address as the daemon writes it: type and index in decimal, e.g. 20:0.
bool is_channel_address(std::string_view w) {
    std::size_t colon = w.find(':');
    return colon != std::string_view::npos && is_unsigned(w.substr(0, colon)) &&
           is_unsigned(w.substr(colon + 1));
}

bool in_table(const char* const* table, std::string_view keyword) {
    for (; *table != nullptr; ++table) {
        if (keyword == *table) {
            return true;
        }
    }
    return false;
}

std::string_view default_fields(std::string_view keyword) {
    for (const auto& row : kDefaults) {
        if (row.keyword == keyword) {
            return row.fields;
        }
    }
    return "0";
}

// Checks the value words of a SET; false makes the peer answer ERROR.
bool set_values_valid(std::string_view keyword, const std::vector<std::string>& values) {
    for (const auto& row : kModes) {
        if (row.keyword == keyword) {
            return !values.empty() && contains(row.names, values[0]);
        }
    }
    if (contains(kFrequencyKeywords, keyword)) {
        return values.size() == 2 && is_unsigned(values[0]) && is_unsigned(values[1]) &&
               values[1].find_first_not_of('0') != std::string::npos;
    }
    return true;
}

void make_fifo(const std::string& path) {
    if (int err = client::make_fifo(path, 0660); err != 0) {
        throw std::system_error(err, std::generic_category(), "make FIFO " + path);
    }
}

unique_fd open_fifo(const std::string& path) {
    // Read-write: the peer is then a reader and a writer of each pipe itself, so it never sees
    // end-of-file while the daemon is away and its writes never fail with ENXIO.
    unique_fd fd = client::open_fifo_rw(path, O_NONBLOCK);
    if (!fd.valid()) {
        throw std::system_error(errno, std::generic_category(), "open " + path);
    }
    return fd;
}

}  // namespace

struct peer_sim::impl {
    struct pending {
        steady::time_point due;
        std::string bytes;  // one line with its newline
    };

    peer_kind kind;
    std::string request_path;
    std::string reply_path;
    std::thread thread;
    std::atomic<bool> stopping{false};

    // The peer thread's own (set up by start() before the thread runs).
    unique_fd requests;
    std::string partial;
    std::deque<pending> out;  // replies and scripted alerts, written in this order

    // Guards the reply pipe; held for one write (and its drain wait), so that hang_up() never
    // closes the descriptor under a write.
    std::mutex write_mu;
    unique_fd replies;

    // Guards everything below.
    mutable std::mutex mu;
    mutable std::condition_variable log_cv;
    std::vector<std::string> log;
    std::map<std::string, peer_rule> rules;
    std::map<std::string, std::string> values;  // "KEYWORD[ address]" -> fields
    std::function<void(const std::string&)> observer;

    void run();
    void read_requests();
    void handle_line(const std::string& line);
    std::string answer(const std::vector<std::string>& words);
    std::string answer_get(const std::string& keyword, const std::vector<std::string>& words);
    std::string answer_set(const std::string& keyword, const std::vector<std::string>& words);
    void write_line(const std::string& bytes);
};

void peer_sim::impl::run() {
    while (!stopping.load()) {
        milliseconds timeout = kPollSlice;
        if (!out.empty()) {
            auto until = std::chrono::ceil<milliseconds>(out.front().due - steady::now());
            timeout = std::clamp(until, milliseconds{0}, kPollSlice);
        }
        pollfd pfd{requests.get(), POLLIN, 0};
        int n = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0 && (pfd.revents & POLLIN) != 0) {
            read_requests();
        }
        // Lines leave in the order they were queued: a delayed reply holds back the replies
        // behind it, as a peer that answers one request at a time would.
        auto now = steady::now();
        while (!out.empty() && out.front().due <= now && !stopping.load()) {
            write_line(out.front().bytes);
            out.pop_front();
        }
    }
}

void peer_sim::impl::read_requests() {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(requests.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        partial.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; (nl = partial.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            handle_line(partial.substr(start, nl - start));
        }
        partial.erase(0, start);
        if (partial.size() > kMaxLine) {
            handle_line(partial);
            partial.clear();
        }
    }
}

void peer_sim::impl::handle_line(const std::string& line) {
    std::function<void(const std::string&)> fn;
    {
        std::lock_guard lk(mu);
        log.push_back(line);
        fn = observer;
    }
    log_cv.notify_all();
    if (fn) {
        fn(line);
    }
    if (line.starts_with("ALRT ")) {
        return;
    }

    std::vector<std::string> words = split_words(line);
    bool request = words.size() >= 2 && (words[0] == "GET" || words[0] == "SET");
    peer_rule rule;
    if (request) {
        std::lock_guard lk(mu);
        auto it = rules.find(words[1]);
        if (it != rules.end()) {
            rule = it->second;
            if (it->second.times > 0 && --it->second.times == 0) {
                rules.erase(it);
            }
        }
    }

    auto now = steady::now();
    if (!rule.alert_before.empty()) {
        // Alerts go out as the request arrives, the reply `delay` later: so a script can make
        // an alert land in the middle of the daemon's wait for the reply.
        for (int i = 0; i < rule.alert_repeat; ++i) {
            out.push_back({now, "ALRT " + rule.alert_before + "\n"});
        }
    }
    std::string reply;
    switch (rule.what) {
        case peer_rule::action::normal:
            reply = answer(words);
            break;
        case peer_rule::action::reply:
            reply = rule.reply;
            break;
        case peer_rule::action::error:
            reply = "ERROR";
            break;
        case peer_rule::action::silent:
            return;
    }
    out.push_back({now + rule.delay, reply + "\n"});
}

std::string peer_sim::impl::answer(const std::vector<std::string>& words) {
    if (words.size() < 2 || (words[0] != "GET" && words[0] != "SET")) {
        return "ERROR";
    }
    const std::string& keyword = words[1];
    const char* const* table = kind == peer_kind::timing ? st2059_if_cmds : smpte2110_cmds;
    if (!in_table(table, keyword)) {
        return "ERROR";
    }
    if (words[0] == "GET") {
        return answer_get(keyword, words);
    }
    return answer_set(keyword, words);
}

std::string peer_sim::impl::answer_get(const std::string& keyword,
                                       const std::vector<std::string>& words) {
    if (keyword == "PTP_TIME") {
        // PTP counts TAI, which has run 37 s ahead of UTC since 2017; the host's clock is UTC
        // (its own TAI clock is only right where the kernel was told the offset).
        constexpr long kTaiMinusUtc = 37;
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return "RGET PTP_TIME " + std::to_string(ts.tv_sec + kTaiMinusUtc) + " " +
               std::to_string(ts.tv_nsec);
    }
    // Asked with a video format text instead of a channel, the default transmit offset is that
    // of the format, and the reply carries no address.
    if (keyword == "ST2110_ENC_DEF_TR_OFFSET" && words.size() > 2 &&
        !is_channel_address(words[2])) {
        return "RGET " + keyword + " " + std::string(default_fields(keyword));
    }
    // A GET's arguments name what it asks about (a channel, a generator); the reply repeats
    // them before the value.
    std::string address = join_words(words, 2);
    std::string key = address.empty() ? keyword : keyword + " " + address;
    std::string fields;
    {
        std::lock_guard lk(mu);
        auto it = values.find(key);
        fields = it != values.end() ? it->second : std::string(default_fields(keyword));
    }
    std::string reply = "RGET " + keyword;
    for (const std::string* part : {&address, &fields}) {
        if (!part->empty()) {
            reply += " " + *part;
        }
    }
    return reply;
}

std::string peer_sim::impl::answer_set(const std::string& keyword,
                                       const std::vector<std::string>& words) {
    std::size_t first_value = 2;
    if (words.size() > 2 && (is_channel_address(words[2]) ||
                             (contains(kGeneratorKeywords, keyword) && is_unsigned(words[2])))) {
        first_value = 3;
    }
    std::vector<std::string> value_words(words.begin() + static_cast<long>(first_value),
                                         words.end());
    if (!set_values_valid(keyword, value_words)) {
        return "ERROR";
    }
    std::string key = first_value == 3 ? keyword + " " + words[2] : keyword;
    {
        std::lock_guard lk(mu);
        values[key] = join_words(words, first_value);
    }
    std::string args = join_words(words, 2);
    return "RSET " + keyword + (args.empty() ? "" : " " + args) + " OK";
}

// The daemon takes a reply with one read() and treats whatever that read returns as one line,
// so two lines written back to back (an alert and the reply behind it) would reach it as one.
// Each line therefore waits, briefly, until the daemon has emptied the pipe; a daemon that is
// not reading just gets the lines together.
void peer_sim::impl::write_line(const std::string& bytes) {
    std::lock_guard lk(write_mu);
    if (!replies.valid()) {
        return;  // hung up: the line is lost, as with a peer that has closed its pipe
    }
    auto deadline = steady::now() + kDrainWait;
    int queued = 0;
    while (::ioctl(replies.get(), FIONREAD, &queued) == 0 && queued > 0 &&
           steady::now() < deadline && !stopping.load()) {
        std::this_thread::sleep_for(milliseconds{1});
    }
    // One write per line: a line of up to PIPE_BUF bytes arrives whole. A full pipe (the daemon
    // gone for long) loses the line.
    (void)!::write(replies.get(), bytes.data(), bytes.size());
}

peer_sim::peer_sim(peer_kind kind, std::string dir) : p_(std::make_unique<impl>()) {
    p_->kind = kind;
    peer_paths names = paths_of(kind);
    p_->request_path = dir + "/" + names.requests;
    p_->reply_path = dir + "/" + names.replies;
}

peer_sim::~peer_sim() {
    stop();
}

void peer_sim::start() {
    if (p_->thread.joinable()) {
        return;
    }
    make_fifo(p_->request_path);
    make_fifo(p_->reply_path);
    unique_fd requests = open_fifo(p_->request_path);
    unique_fd replies = open_fifo(p_->reply_path);
    p_->requests = std::move(requests);
    {
        std::lock_guard lk(p_->write_mu);
        p_->replies = std::move(replies);
    }
    p_->partial.clear();
    p_->out.clear();
    p_->stopping = false;
    p_->thread = std::thread([this] { p_->run(); });
}

void peer_sim::stop() {
    if (!p_->thread.joinable()) {
        return;
    }
    p_->stopping = true;
    p_->thread.join();
    p_->requests.reset();
    std::lock_guard lk(p_->write_mu);
    p_->replies.reset();
}

void peer_sim::set_rule(const std::string& keyword, peer_rule rule) {
    std::lock_guard lk(p_->mu);
    if (rule.times == 0) {
        p_->rules.erase(keyword);
        return;
    }
    p_->rules[keyword] = std::move(rule);
}

void peer_sim::clear_rules() {
    std::lock_guard lk(p_->mu);
    p_->rules.clear();
}

void peer_sim::send_line(const std::string& line) {
    p_->write_line(line.ends_with('\n') ? line : line + "\n");
}

void peer_sim::hang_up() {
    std::lock_guard lk(p_->write_mu);
    p_->replies.reset();
}

void peer_sim::come_back() {
    std::lock_guard lk(p_->write_mu);
    if (!p_->replies.valid()) {
        p_->replies = open_fifo(p_->reply_path);
    }
}

std::vector<std::string> peer_sim::log() const {
    std::lock_guard lk(p_->mu);
    return p_->log;
}

void peer_sim::clear_log() {
    std::lock_guard lk(p_->mu);
    p_->log.clear();
}

bool peer_sim::wait_for(const std::function<bool(const std::string&)>& pred,
                        std::chrono::milliseconds timeout) const {
    auto deadline = steady::now() + timeout;
    std::unique_lock lk(p_->mu);
    std::size_t next = 0;
    for (;;) {
        if (next > p_->log.size()) {
            next = 0;  // cleared meanwhile
        }
        for (; next < p_->log.size(); ++next) {
            if (pred(p_->log[next])) {
                return true;
            }
        }
        if (p_->log_cv.wait_until(lk, deadline) == std::cv_status::timeout) {
            return std::any_of(p_->log.begin() + static_cast<long>(std::min(next, p_->log.size())),
                               p_->log.end(), pred);
        }
    }
}

bool peer_sim::wait_for_line(const std::string& line, std::chrono::milliseconds timeout) const {
    return wait_for([&line](const std::string& l) { return l == line; }, timeout);
}

void peer_sim::on_line(std::function<void(const std::string&)> fn) {
    std::lock_guard lk(p_->mu);
    p_->observer = std::move(fn);
}

const std::vector<std::string>& peer_sim::keywords(peer_kind kind) {
    static const auto collect = [](const char* const* table) {
        std::vector<std::string> out;
        for (; *table != nullptr; ++table) {
            out.emplace_back(*table);
        }
        return out;
    };
    static const std::vector<std::string> timing = collect(st2059_if_cmds);
    static const std::vector<std::string> media = collect(smpte2110_cmds);
    return kind == peer_kind::timing ? timing : media;
}

}  // namespace nexo::sim
