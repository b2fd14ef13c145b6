// The client-side line reader on a real pipe: lines whatever pieces the reads bring, what it
// holds back, and what it refuses.
#include "line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace nexo::client {
namespace {

// A step writes bytes ('w'), closes the write end ('c'), reads one line and expects it and what
// stays held ('r'), or discards ('d').
struct step {
    char op;
    std::string bytes;  // 'w': written in one write; 'r': the line expected ("" for none)
    std::string held;   // 'r': held() after the read
};

TEST(client_line_reader, hands_out_lines_whatever_the_reads_bring) {
    const std::string longest(line_reader::kCapacity - 1, 'x');
    const struct {
        const char* name;
        std::vector<step> steps;
    } rows[] = {
        // clang-format off
        {"a line in pieces",
         {{'w', "GET A", ""}, {'r', "", "GET A"}, {'w', " B\nGET", ""}, {'r', "GET A B\n", "GET"}, {'w', " C\n", ""}, {'r', "GET C\n", ""}}},
        // Bytes beyond a full buffer stay in the pipe for the next call.
        {"the longest line that fits", {{'w', longest + "\nY", ""}, {'r', longest + "\n", ""}, {'r', "", "Y"}}},
        // One byte more and no newline fits: refused every time, never cut into a line.
        {"a line too long", {{'w', longest + "x", ""}, {'r', "", longest + "x"}, {'w', "\n", ""}, {'r', "", longest + "x"}}},
        {"end of file with a partial line", {{'w', "A\nB", ""}, {'c', "", ""}, {'r', "A\n", "B"}, {'r', "", "B"}}},
        {"discard drops held and queued bytes",
         {{'w', "OLD\nOL", ""}, {'r', "OLD\n", "OL"}, {'w', "D\n", ""}, {'d', "", ""}, {'r', "", ""}, {'w', "NEW\n", ""}, {'r', "NEW\n", ""}}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
        unique_fd rd(fds[0]);
        unique_fd wr(fds[1]);
        line_reader reader(rd.get());
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const step& s = row.steps[i];
            SCOPED_TRACE(i);
            if (s.op == 'w') {
                ASSERT_EQ(::write(wr.get(), s.bytes.data(), s.bytes.size()),
                          static_cast<ssize_t>(s.bytes.size()));
            } else if (s.op == 'c') {
                wr.reset();
            } else if (s.op == 'd') {
                reader.discard();
            } else {
                EXPECT_EQ(reader.next(0), s.bytes);
                EXPECT_EQ(reader.held(), s.held);
            }
        }
    }
}

TEST(client_line_reader, waits_for_a_line_within_the_timeout) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, 0), 0);
    unique_fd rd(fds[0]);
    unique_fd wr(fds[1]);
    line_reader reader(rd.get());
    // The line comes in two writes, the second one well after the first read.
    std::thread writer([&wr] {
        (void)!::write(wr.get(), "RGET", 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!::write(wr.get(), " X\n", 3);
    });
    EXPECT_EQ(reader.next(10000), "RGET X\n");
    writer.join();
    EXPECT_EQ(reader.next(20), "");
    EXPECT_EQ(reader.take_held(), "");
}

}  // namespace
}  // namespace nexo::client
