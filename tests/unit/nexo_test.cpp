// The release of everything at shutdown, and the main loop on real pipes.
#include "nexo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ext_cmds.h"
#include "scratch_dir.h"
#include "test_ctx.h"

namespace nexo {
namespace {

TEST(deinit_config, closes_every_descriptor) {
    auto* ctx = new nexo_cfg{};
    init_config(ctx);
    std::vector<unique_fd*> owners = {&ctx->ip_filter.fd, &ctx->nl_sock, &if_list.sock};
    for (pipe_link& l : ctx->links) {
        owners.push_back(&l.rd_fd);
        owners.push_back(&l.wr_fd);
    }
    for (device_rec& d : ctx->vid_out) {
        owners.push_back(&d.fd);
    }
    for (device_rec& d : ctx->fmt_det) {
        owners.push_back(&d.fd);
    }
    std::vector<int> fds;
    for (unique_fd* o : owners) {
        o->reset(::open("/dev/null", O_RDONLY));
        fds.push_back(o->get());
    }
    ASSERT_EQ(fds.size(), 17u);
    deinit_config(ctx);
    for (int fd : fds) {
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << fd;
    }
}

// One iteration of the main loop on the test's pipes, with the poll set start-up builds (no
// rtnetlink socket). What each link got written during it.
std::array<std::string, 3> iterate(test::test_ctx& t) {
    for (uint32_t link = 0; link < 3; ++link) {
        t.ctx->fds[link] = {-1, POLLIN, 0};
    }
    t.ctx->fds[kPollNetlink] = {-1, 0, 0};
    main_loop_iteration(t.ctx);
    return {t.written(0), t.written(1), t.written(2)};
}

struct loop_case {
    const char* name;
    std::array<std::string, 3> fed;                      // written at once into each link
    std::vector<std::array<std::string, 3>> iterations;  // what each link gets in turn
    std::string left_1;                                  // still to come from the client
};

// At most one line per link and iteration, links in order, whatever a read brings in.
TEST(main_loop, one_line_per_link_and_iteration) {
    const std::string get0 = "GET RX_STR_ENA 20:0\n";
    const std::string get1 = "GET RX_STR_ENA 20:1\n";
    const std::string ans0 = "RGET RX_STR_ENA 20:0 OFF\n";
    const std::string ans1 = "RGET RX_STR_ENA 20:1 OFF\n";
    // clang-format off
    const loop_case cases[] = {
        {"an error drops the rest", {"", "GET NOTHING\n" + get0 + get1, ""}, {{"", "ERROR\n", ""}}, ""},
        {"peers in link order", {"A 0\nB 0\n", get0 + get1, "C 2\nD 2\n"},
         {{"", "A 0\n" + ans0 + "C 2\n", ""}, {"", "B 0\n" + ans1 + "D 2\n", ""}}, ""},
        // The relay's reply is already in, behind a late line of the timing daemon: the relay
        // takes it at once, as it would from the pipe.
        {"relay reply held", {"RGET LATE 1\nRGET PTP_TIME 2\n", "GET PTP_TIME\n" + get0, ""},
         {{"GET PTP_TIME\n", "RGET LATE 1\nRGET PTP_TIME 2\n", ""}}, get0},
        {"alert behind a line", {"X 0\nALRT SYNC_FAULT\n", "", ""}, {{"", "X 0\n", ""}, {"", "", "ALRT SYNC_FAULT\n"}}, ""},
    };
    // clang-format on
    for (const loop_case& c : cases) {
        SCOPED_TRACE(c.name);
        test::test_ctx t;
        for (int link = 0; link < 3; ++link) {
            t.feed(link, c.fed[static_cast<size_t>(link)]);
        }
        for (const auto& expected : c.iterations) {
            EXPECT_EQ(iterate(t), expected);
        }
        EXPECT_EQ(t.pending(1), c.left_1);
    }
}

// A client that hangs up: the line being handled is the last; whatever it sent behind it is
// dropped with the reopening, whether it was still in the pipe or already read in.
TEST(main_loop, hang_up_drops_what_followed) {
    const test::scratch_dir dir;
    const std::string path = dir / "wr.p";
    for (bool close_first : {true, false}) {
        SCOPED_TRACE(close_first ? "closed before the first line" : "closed after it");
        test::test_ctx t;
        std::snprintf(t.ctx->links[1].rd_path, kPipePathSize, "%s", path.c_str());
        ASSERT_EQ(open_read_pipe(t.ctx, 1), 0);
        int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(w, 0);
        ASSERT_EQ(::write(w, "GET RX_STR_ENA 20:0\nGET RX_STR_ENA 20:1\nGET RX_STR_ENA 20:2\n", 60),
                  60);
        if (close_first) {
            ::close(w);
            EXPECT_EQ(iterate(t)[1], "RGET RX_STR_ENA 20:0 OFF\n");
        } else {
            EXPECT_EQ(iterate(t)[1], "RGET RX_STR_ENA 20:0 OFF\n");
            ::close(w);
            EXPECT_EQ(iterate(t)[1], "RGET RX_STR_ENA 20:1 OFF\n");
        }
        EXPECT_EQ(held_bytes(t.ctx->links[1]), 0u);
        // The reopened pipe serves the next writer.
        w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(w, 0);
        ASSERT_EQ(::write(w, "GET RX_STR_ENA 30:1\n", 20), 20);
        EXPECT_EQ(iterate(t)[1], "RGET RX_STR_ENA 30:1 OFF\n");
        ::close(w);
        ::unlink(path.c_str());
    }
}

// The router's rule, written as the plain search: the first link, 0 to 2, whose table holds an
// entry that begins the keyword, case ignored.
int linear_link(const nexo_cfg* ctx, const char* keyword) {
    for (int link = 0; link < 3; ++link) {
        for (const char* const* e = ctx->links[link].cmds; *e != nullptr; ++e) {
            if (strncasecmp(keyword, *e, std::strlen(*e)) == 0) {
                return link;
            }
        }
    }
    return -1;
}

// Every keyword of every table, as written, in lower case, cut short and run on, goes where the
// plain search sends it.
TEST(route_link, agrees_with_the_table_search) {
    test::test_ctx t;
    std::vector<std::string> keywords = {"",
                                         "PTP",
                                         "2059_FRA_CHANGED",
                                         "ST2110",
                                         "rx_ip_src",
                                         "\xc9T2110_DEC_VID_FMT",
                                         std::string(63, 'S')};
    for (const char* const* table : {st2059_if_cmds, nexo_cmds, smpte2110_cmds}) {
        for (const char* const* e = table; *e != nullptr; ++e) {
            std::string k = *e;
            std::string lower = k;
            for (char& c : lower) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            keywords.insert(keywords.end(), {k, lower, k.substr(0, k.size() - 1), k + "_X",
                                             lower + "1", k.substr(1)});
        }
    }
    for (const std::string& k : keywords) {
        EXPECT_EQ(route_link(t.ctx, k.c_str()), linear_link(t.ctx, k.c_str())) << k;
    }
}

// Order across links decides, whatever the first letters; an empty entry begins every keyword.
TEST(route_link, first_link_wins) {
    struct order_case {
        std::array<std::vector<const char*>, 3> tables;
        const char* keyword;
        int link;
    };
    const order_case cases[] = {
        {{{{"AB"}, {"A"}, {}}}, "abc", 0}, {{{{"ABD"}, {"A"}, {}}}, "ABC", 1},
        {{{{"X"}, {"Q"}, {""}}}, "Z", 2},  {{{{"X"}, {""}, {"Z"}}}, "Z", 1},
        {{{{"X"}, {""}, {}}}, "xy", 0},    {{{{"abc"}, {}, {"ABC"}}}, "ABC", 0},
        {{{{}, {}, {"B"}}}, "A", -1},
    };
    for (const order_case& c : cases) {
        test::test_ctx t;
        std::array<std::vector<const char*>, 3> tables = c.tables;
        for (int link = 0; link < 3; ++link) {
            tables[link].push_back(nullptr);
            t.ctx->links[link].cmds = tables[link].data();
        }
        build_route_index(t.ctx);
        EXPECT_EQ(route_link(t.ctx, c.keyword), c.link) << c.keyword;
    }
}

// The idle pass comes after 500 ms without input counted from the start of the wait, also when
// an earlier wait set the timer to fire sooner.
TEST(main_loop, idle_wait_lasts_its_whole_timeout) {
    using clock = std::chrono::steady_clock;
    test::test_ctx t;
    t.feed(1, "GET RX_STR_ENA 20:0\n");
    EXPECT_EQ(iterate(t)[1], "RGET RX_STR_ENA 20:0 OFF\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    t.feed(1, "GET RX_STR_ENA 20:1\n");
    EXPECT_EQ(iterate(t)[1], "RGET RX_STR_ENA 20:1 OFF\n");
    for (int i = 0; i < 2; ++i) {
        const auto t0 = clock::now();
        EXPECT_EQ(iterate(t), (std::array<std::string, 3>{}));
        EXPECT_GE(clock::now() - t0, std::chrono::milliseconds(500));
    }
}

}  // namespace
}  // namespace nexo
