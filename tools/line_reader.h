// Lines from a descriptor (a pipe, as a rule), taken one at a time whatever the reads bring:
// the bytes behind a line are held for the next one.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace nexo::client {

class line_reader {
  public:
    // The longest line it can hand out, newline included.
    static constexpr std::size_t kCapacity = 4096;

    // Reads fd, which stays the caller's (blocking or not, either works).
    explicit line_reader(int fd = -1) : fd_(fd) {}

    // Reads another descriptor from now on; held bytes are dropped.
    void reset(int fd);

    // The next line with its newline, waiting at most timeout_ms in all (-1: for ever; 0: only
    // what is queued now). Empty when no whole line came in time, at end of file, on a read
    // error, or when a line will not fit in kCapacity bytes. The view is valid until the next
    // call of any member.
    std::string_view next(int timeout_ms);

    // Bytes read but not handed out in a line: the start of the next line.
    std::string_view held() const { return {buf_.data() + used_, len_ - used_}; }
    // held() as a string, and forgets those bytes.
    std::string take_held();
    // Forgets the held bytes and reads away, without waiting, whatever is queued now.
    void discard();

  private:
    int fd_;
    std::array<char, kCapacity> buf_{};
    std::size_t len_ = 0;   // bytes in buf_
    std::size_t used_ = 0;  // bytes of buf_ already handed out
};

}  // namespace nexo::client
