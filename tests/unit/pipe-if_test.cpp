// The line protocol on real pipes: what the reader leaves queued, what an exchange accepts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "nexo-alert-parse.h"
#include "pipe-if.h"
#include "test_ctx.h"

namespace nexo {
namespace {

// Reads one line the way the main loop does; "" when none was routed, "<too long>" for -1.
std::string read_one(test::test_ctx& t, uint32_t link) {
    char buf[kLineSize + 1];
    int32_t n = read_line(t.ctx, link, buf);
    if (n < 0) {
        return "<too long>";
    }
    EXPECT_EQ(buf[kLineSize], '\0');
    return std::string(buf, static_cast<size_t>(n));
}

// Every byte still queued in the daemon's read pipe of the link.
std::string queued(test::test_ctx& t, uint32_t link) {
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(t.ctx->links[link].rd_fd.get(), buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// A step writes bytes into the pipe ('w') or reads one line and expects an outcome ('r').
struct step {
    char op;
    std::string bytes;
};

struct reader_case {
    const char* name;
    std::vector<step> steps;
    std::string left;  // what stays queued at the end
};

// The reader is run with the tee(2) peek and with its byte-per-read fallback: both must behave
// the same on every input.
class line_reader : public testing::TestWithParam<std::tuple<reader_case, bool>> {};

TEST_P(line_reader, leaves_what_follows_the_newline) {
    const auto& [c, peek] = GetParam();
    test::test_ctx t;
    if (!peek) {
        t.ctx->peek_wr.reset();
        t.ctx->peek_rd.reset();
    }
    for (const step& s : c.steps) {
        if (s.op == 'w') {
            t.feed(1, s.bytes);
        } else {
            EXPECT_EQ(read_one(t, 1), s.bytes) << c.name;
        }
    }
    EXPECT_EQ(queued(t, 1), c.left) << c.name;
}

const std::string k255(255, 'x');
const std::string k300(300, 'y');
const std::string kTooLong = "<too long>";

INSTANTIATE_TEST_SUITE_P(
    cases, line_reader,
    testing::Combine(
        testing::Values(
            reader_case{"one line", {{'w', "GET PTP_TIME\n"}, {'r', "GET PTP_TIME\n"}}, ""},
            reader_case{"two lines", {{'w', "A 1\nB 2\n"}, {'r', "A 1\n"}}, "B 2\n"},
            reader_case{"two lines read",
                        {{'w', "A 1\nB 2\n"}, {'r', "A 1\n"}, {'r', "B 2\n"}, {'r', ""}}, ""},
            reader_case{"partial dropped", {{'w', "GET PTP_T"}, {'r', ""}}, ""},
            reader_case{"partial then rest",
                        {{'w', "GET PTP_T"}, {'r', ""}, {'w', "IME\n"}, {'r', "IME\n"}}, ""},
            reader_case{"line then partial", {{'w', "A\nGET PTP_T"}, {'r', "A\n"}, {'r', ""}}, ""},
            reader_case{"empty line", {{'w', "\n\n"}, {'r', "\n"}}, "\n"},
            reader_case{"binary",
                        {{'w', std::string("\0\xff\x01\n", 4)}, {'r', std::string("\0\xff\x01\n", 4)}},
                        ""},
            reader_case{"longest line", {{'w', k255 + "\nZ\n"}, {'r', k255 + "\n"}}, "Z\n"},
            reader_case{"too long, end queued", {{'w', k300 + "\nNEXT\n"}, {'r', kTooLong}}, "NEXT\n"},
            reader_case{"too long then next",
                        {{'w', k300 + "\nNEXT\n"}, {'r', kTooLong}, {'r', "NEXT\n"}}, ""},
            reader_case{"256 without newline",
                        {{'w', std::string(256, 'z') + "\nN\n"}, {'r', kTooLong}}, "N\n"},
            reader_case{"too long, end later",
                        {{'w', k300}, {'r', kTooLong}, {'w', "tail of it\nNEXT\n"}, {'r', ""},
                         {'r', "NEXT\n"}},
                        ""},
            reader_case{"too long, in pieces",
                        {{'w', k300}, {'r', kTooLong}, {'w', k300}, {'r', ""}, {'w', "\nN\n"},
                         {'r', ""}, {'r', "N\n"}},
                        ""}),
        testing::Bool()));

TEST(line_reader, reopening_discards_what_is_queued) {
    test::test_ctx t;
    char dir[] = "/tmp/nexo-pipe-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/rd.p";
    std::snprintf(t.ctx->links[0].rd_path, kPipePathSize, "%s", path.c_str());
    ASSERT_EQ(open_read_pipe(t.ctx, 0), 0);
    int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(w, 0);
    ASSERT_EQ(::write(w, "A\nB\n", 4), 4);
    EXPECT_EQ(read_one(t, 0), "A\n");
    ASSERT_EQ(::write(w, "C\n", 2), 2);
    ASSERT_EQ(open_read_pipe(t.ctx, 0), 0);  // a reopening flushes B and C
    EXPECT_EQ(read_one(t, 0), "");
    ASSERT_EQ(::write(w, "D\n", 2), 2);
    EXPECT_EQ(read_one(t, 0), "D\n");
    ::close(w);
    ::unlink(path.c_str());
    ::rmdir(dir);
}

TEST(pipe_links, bad_link_numbers) {
    test::test_ctx t;
    char buf[8];
    EXPECT_EQ(open_read_pipe(t.ctx, 3), kBadLink);
    EXPECT_EQ(open_write_pipe(t.ctx, 3), kBadLink);
    EXPECT_EQ(close_read_pipe(t.ctx, 3), kBadLink);
    EXPECT_EQ(close_write_pipe(t.ctx, 3), kBadLink);
    EXPECT_EQ(send_message(t.ctx, 3, "x\n", 2), kBadLink);
    EXPECT_EQ(send_message(t.ctx, kNoLink, "x\n", 2), kBadLink);
    EXPECT_EQ(await_message(t.ctx, 3, buf, sizeof buf, 0), kBadLink);
}

TEST(pipe_links, error_reply_discards_queued_input) {
    test::test_ctx t;
    t.feed(1, "GET A\nGET B\n");
    EXPECT_EQ(send_error_reply(t.ctx, 1), 6);
    EXPECT_EQ(t.written(1), "ERROR\n");
    EXPECT_EQ(queued(t, 1), "");
}

TEST(await_message, returns_the_text_without_its_newline) {
    struct c {
        std::string in;
        size_t size;
        int32_t rc;
        std::string text;
    };
    const c cases[] = {
        {"RGET X 1\n", 64, 8, "RGET X 1"},
        {"RGET X 1", 64, 8, "RGET X 1"},
        {"\n", 64, 0, ""},
        {"A\nB\n", 64, 3, "A\nB"},          // one read takes both lines
        {"0123456789", 8, 8, "0123456"},    // a full buffer loses its last byte
    };
    for (const c& x : cases) {
        test::test_ctx t;
        t.feed(2, x.in);
        std::vector<char> buf(x.size, 'Q');
        EXPECT_EQ(await_message(t.ctx, 2, buf.data(), x.size, 100), x.rc) << x.in;
        EXPECT_STREQ(buf.data(), x.text.c_str()) << x.in;
    }
    test::test_ctx t;
    char buf[8];
    EXPECT_EQ(await_message(t.ctx, 2, buf, sizeof buf, 10), 0);  // nothing within the wait
}

TEST(reply_check, accepts_by_prefix_and_keyword_only) {
    test::test_ctx t;
    struct c {
        const char* reply;
        const char* prefix;
        int32_t rc;
    };
    const c cases[] = {
        {"RSET RCG_FRQ", "RSET ", 0},
        {"RSET RCG_FRQ 1 2 anything", "RSET ", 0},
        {"RSET RCG_FRQX", "RSET ", 0},
        {"RGET RCG_FRQ 1", "RSET ", -1},
        {"ERROR", "RSET ", -1},
        {"RSET PSG_FRQ", "RSET ", -1},
        {"rset RCG_FRQ", "RSET ", -1},
        {"ALRT SYNC_FAULT", "RSET ", 1},
    };
    for (const c& x : cases) {
        std::string r = x.reply;
        EXPECT_EQ(reply_check(t.ctx, r.data(), x.prefix, "RCG_FRQ"), x.rc) << x.reply;
    }
    EXPECT_EQ(reply_check(t.ctx, nullptr, "RSET ", "RCG_FRQ"), -22);
    clear_deferred_alerts(t.ctx);
}

TEST(get_reply_val, needs_the_blank_after_the_keyword) {
    const char* v = nullptr;
    EXPECT_EQ(get_reply_val("RGET 2059_FRA 25 1", "2059_FRA", &v), 0);
    EXPECT_STREQ(v, "25 1");
    v = nullptr;
    EXPECT_EQ(get_reply_val("RGET 2059_FRA", "2059_FRA", &v), -1);
    EXPECT_EQ(get_reply_val("RGET 2059_FRAX 1", "2059_FRA", &v), -1);
    EXPECT_EQ(get_reply_val("RSET 2059_FRA 1", "2059_FRA", &v), -1);
    EXPECT_EQ(v, nullptr);
}

TEST(send_and_check_cmd, waits_again_after_an_alert) {
    test::test_ctx t;
    // The peer's answer is already queued behind an alert: the alert is deferred and the
    // exchange goes on to the reply.
    char buf[68];
    std::snprintf(buf, sizeof buf, "SET ST2110_DEC_NET_PARAMS 20:0 R 96\n");
    t.feed(2, "ALRT SYNC_FAULT\n");
    // The alert and the reply must arrive in two reads to be seen as two lines.
    std::thread later([&t] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        t.feed(2, "RSET ST2110_DEC_NET_PARAMS 20:0 R 96 OK\n");
    });
    EXPECT_EQ(send_and_check_cmd(t.ctx, 2, buf, "ST2110_DEC_NET_PARAMS", buf, sizeof buf), 0);
    later.join();
    EXPECT_EQ(t.written(2), "SET ST2110_DEC_NET_PARAMS 20:0 R 96\n");
    EXPECT_EQ(handle_deferred_alerts(t.ctx), 1);
    EXPECT_EQ(t.written(2), "ALRT SYNC_FAULT\n");
}

TEST(send_and_check_cmd, refusals) {
    test::test_ctx t;
    char buf[52];
    std::snprintf(buf, sizeof buf, "GET ST2110_DEC_MC_OPMODE 20:0\n");
    t.feed(2, "ERROR\n");
    EXPECT_EQ(send_and_check_cmd(t.ctx, 2, buf, "ST2110_DEC_MC_OPMODE", buf, sizeof buf), -1);
    std::snprintf(buf, sizeof buf, "GET ST2110_DEC_MC_OPMODE 20:0\n");
    EXPECT_EQ(send_and_check_cmd(t.ctx, 2, buf, "ST2110_DEC_MC_OPMODE", buf, sizeof buf), -1);
    std::snprintf(buf, sizeof buf, "GET ST2110_DEC_MC_OPMODE 20:0\n");
    t.feed(2, "RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH\n");
    EXPECT_EQ(send_and_check_cmd(t.ctx, 2, buf, "ST2110_DEC_MC_OPMODE", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH");
}

}  // namespace
}  // namespace nexo
