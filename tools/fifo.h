// The daemon's named pipes as the programs around it see them: their names, creating and
// opening them, and writing whole lines into them.
#pragma once

#include <sys/types.h>

#include <array>
#include <string>
#include <string_view>

#include "links.h"
#include "unique_fd.h"

namespace nexo::client {

// The pipes' names, as the daemon has them.
using nexo::kControlPipes;
using nexo::kLinkPipes;
using nexo::kMediaPipes;
using nexo::kPipeDir;
using nexo::kTimingPipes;
using nexo::link_pipes;

// Creates a FIFO at path with exactly `mode` (the umask does not apply) unless one is there
// already, whose mode is then left alone. Returns 0, or an errno value: from mkfifo(2) or
// chmod(2), EEXIST when something other than a FIFO is there.
int make_fifo(const std::string& path, mode_t mode = 0660);

// Opens a FIFO for reading and writing: its holder never sees end of file while the other side
// is away, and the open never waits for it. flags adds to O_RDWR | O_CLOEXEC (O_NONBLOCK, say).
// Invalid on failure, with errno set.
unique_fd open_fifo_rw(const std::string& path, int flags = 0);

// Opens the write end of a FIFO without waiting for a reader: fails with ENXIO while nobody
// has it open for reading. The descriptor is non-blocking.
unique_fd open_fifo_writer(const std::string& path);

// Whether the descriptor, or what the path names (links followed), is a FIFO.
bool is_fifo(int fd);
bool is_fifo(const std::string& path);

// Writes all the bytes, going on after EINTR and short writes; false on failure (errno set).
// On a non-blocking descriptor a full pipe fails with EAGAIN.
bool write_all(int fd, std::string_view bytes);

// write_all() that leaves the process alive when the reader has gone: SIGPIPE is held back for
// the calling thread and the one the write raised is taken back, so that the write just fails
// with EPIPE, whatever the process does with SIGPIPE.
bool write_all_no_sigpipe(int fd, std::string_view bytes);

}  // namespace nexo::client
