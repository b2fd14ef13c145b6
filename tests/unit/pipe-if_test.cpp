// The line protocol on real pipes: what the reader leaves queued, what an exchange accepts.
#include "pipe-if.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "nexo-alert-parse.h"
#include "scratch_dir.h"
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

// The reader is run as on a FIFO, where a read takes what is queued and the link holds the
// rest, and one byte per read as on any other path: both must behave the same on every input.
class line_reader : public testing::TestWithParam<std::tuple<reader_case, bool>> {};

TEST_P(line_reader, leaves_what_follows_the_newline) {
    const auto& [c, bytewise] = GetParam();
    test::test_ctx t;
    t.ctx->links[1].rd_bytewise = bytewise;
    for (const step& s : c.steps) {
        if (s.op == 'w') {
            t.feed(1, s.bytes);
        } else {
            EXPECT_EQ(read_one(t, 1), s.bytes) << c.name;
        }
    }
    EXPECT_EQ(t.pending(1), c.left) << c.name;
}

const std::string k255(255, 'x');
const std::string k300(300, 'y');
const std::string kTooLong = "<too long>";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    cases, line_reader,
    testing::Combine(
        testing::Values(
            reader_case{"partial then rest", {{'w', "GET PTP_T"}, {'r', ""}, {'w', "IME\n"}, {'r', "IME\n"}}, ""},
            reader_case{"binary", {{'w', std::string("\0\xff\x01\n", 4)}, {'r', std::string("\0\xff\x01\n", 4)}}, ""},
            reader_case{"longest line", {{'w', k255 + "\nZ\n"}, {'r', k255 + "\n"}}, "Z\n"},
            reader_case{"256 without newline", {{'w', std::string(256, 'z') + "\nN\n"}, {'r', kTooLong}}, "N\n"},
            reader_case{"too long, in pieces",
                        {{'w', k300}, {'r', kTooLong}, {'w', k300}, {'r', ""}, {'w', "\nN\n"}, {'r', ""}, {'r', "N\n"}}, ""},
            reader_case{"rest of a held line arrives",
                        {{'w', "A\nGET PTP"}, {'r', "A\n"}, {'w', "_TIME\n"}, {'r', "GET PTP_TIME\n"}}, ""},
            reader_case{"too long behind a line", {{'w', "A\n" + k300 + "\nB\n"}, {'r', "A\n"}, {'r', kTooLong}, {'r', "B\n"}}, ""},
            reader_case{"more than one read holds", {{'w', std::string(5000, '\n') + "X\n"}, {'r', "\n"}},
                        std::string(4999, '\n') + "X\n"}),
        testing::Bool()));
// clang-format on

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

TEST(pipe_links, error_reply_discards_queued_and_held_input) {
    test::test_ctx t;
    t.feed(1, "GET A\nGET B\nGET C\n");
    EXPECT_EQ(read_one(t, 1), "GET A\n");
    t.feed(1, "GET D\n");
    EXPECT_EQ(send_error_reply(t.ctx, 1), 6);
    EXPECT_EQ(t.written(1), "ERROR\n");
    EXPECT_EQ(t.pending(1), "");
    t.feed(1, "GET E\n");
    EXPECT_EQ(read_one(t, 1), "GET E\n");
}

// A FIFO is read as far as it has bytes, the rest held; any other path one byte per read,
// never further than the line. Only what is written to other paths is synced.
TEST(pipe_links, opening_tells_fifos_from_other_paths) {
    test::test_ctx t;
    const test::scratch_dir dir;
    const std::string fifo = dir / "fifo.p";
    const std::string file = dir / "file";
    int f = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(::write(f, "A\nB\n", 4), 4);
    ::close(f);
    std::snprintf(t.ctx->links[0].rd_path, kPipePathSize, "%s", fifo.c_str());
    std::snprintf(t.ctx->links[0].wr_path, kPipePathSize, "%s", fifo.c_str());
    std::snprintf(t.ctx->links[2].rd_path, kPipePathSize, "%s", file.c_str());
    std::snprintf(t.ctx->links[2].wr_path, kPipePathSize, "%s", file.c_str());
    ASSERT_EQ(open_read_pipe(t.ctx, 0), 0);
    ASSERT_EQ(open_write_pipe(t.ctx, 0), 0);
    ASSERT_EQ(open_write_pipe(t.ctx, 2), 0);
    ASSERT_EQ(open_read_pipe(t.ctx, 2), 0);  // opening drains: the file is read to its end
    EXPECT_EQ(::lseek(t.ctx->links[2].rd_fd.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(read_one(t, 2), "A\n");
    EXPECT_EQ(::lseek(t.ctx->links[2].rd_fd.get(), 0, SEEK_CUR), 2);
    EXPECT_EQ(held_bytes(t.ctx->links[2]), 0u);
    EXPECT_TRUE(t.ctx->links[2].wr_sync);
    EXPECT_FALSE(t.ctx->links[0].wr_sync);
}

// Bytes the link holds (behind a line the main loop took) are read as if queued in the pipe
// ahead of what it holds: one read takes them first, then what still fits from the pipe.
TEST(await_message, returns_the_text_without_its_newline) {
    struct c {
        std::string held;  // behind "L\n", which the main loop takes first
        std::string in;
        size_t size;
        int32_t rc;
        std::string text;
        std::string left;
    };
    const c cases[] = {
        {"", "RGET X 1\n", 64, 8, "RGET X 1", ""}, {"", "\n", 64, 0, "", ""},
        {"", "A\nB\n", 64, 3, "A\nB", ""},          // one read takes both lines
        {"", "0123456789", 8, 8, "0123456", "89"},  // a full buffer loses its last byte
        {"A\n", "B\n", 64, 3, "A\nB", ""},         {"RGET X", " 1\n", 64, 8, "RGET X 1", ""},
        {"0123", "456789", 8, 8, "0123456", "89"}, {"0123456789", "AB", 8, 8, "0123456", "89AB"},
    };
    for (const c& x : cases) {
        test::test_ctx t;
        if (!x.held.empty()) {
            t.feed(2, "L\n" + x.held);
            EXPECT_EQ(read_one(t, 2), "L\n");
        }
        t.feed(2, x.in);
        std::vector<char> buf(x.size, 'Q');
        EXPECT_EQ(await_message(t.ctx, 2, buf.data(), x.size, 100), x.rc) << x.held << x.in;
        EXPECT_STREQ(buf.data(), x.text.c_str()) << x.held << x.in;
        EXPECT_EQ(t.pending(2), x.left) << x.held << x.in;
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
        {"RSET RCG_FRQ 1 2 anything", "RSET ", 0}, {"RSET RCG_FRQX", "RSET ", 0},
        {"RGET RCG_FRQ 1", "RSET ", -1},           {"RSET PSG_FRQ", "RSET ", -1},
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

// A refusal, silence, or the reply, which overwrites the request in the caller's buffer.
TEST(send_and_check_cmd, refusals) {
    test::test_ctx t;
    for (const auto& [reply, rc, answer] :
         {std::tuple<const char*, int32_t, const char*>{"ERROR\n", -1, ""},
          {"", -1, ""},
          {"RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH\n", 0,
           "RGET ST2110_DEC_MC_OPMODE 20:0 PASSTHROUGH"}}) {
        char buf[52];
        std::snprintf(buf, sizeof buf, "GET ST2110_DEC_MC_OPMODE 20:0\n");
        t.feed(2, reply);
        EXPECT_EQ(send_and_check_cmd(t.ctx, 2, buf, "ST2110_DEC_MC_OPMODE", buf, sizeof buf), rc);
        EXPECT_EQ(t.written(2), "GET ST2110_DEC_MC_OPMODE 20:0\n");
        if (rc == 0) {
            EXPECT_STREQ(buf, answer);
        }
    }
}

}  // namespace
}  // namespace nexo
