// The interactive prompt of the programs that talk to the daemon: line editing, a history file
// and completion of words where libedit is built in (not in the cross build for the board), a
// plain prompt on standard input otherwise.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nexo::client {

// The words to offer for the word being typed, given the words before it on the line.
// Completion ignores case; a word comes back as the completer spells it.
using completer = std::function<std::vector<std::string>(const std::vector<std::string>& before)>;

// GET or SET for the first word, any keyword of the three routing tables for the second,
// nothing after.
std::vector<std::string> control_words(const std::vector<std::string>& before);

// $HOME/name, or "" when $HOME is unset or empty.
std::string home_file(const char* name);

// One prompt at a time per process (libedit's state is global).
class line_editor {
  public:
    // name: the program's name for libedit's settings (~/.editrc). history: a file read now and
    // written back by the destructor, at most 1000 lines ("" for none). complete may be empty.
    line_editor(const char* name, std::string history, completer complete);
    ~line_editor();
    line_editor(const line_editor&) = delete;
    line_editor& operator=(const line_editor&) = delete;

    // Shows prompt and reads one line, blanks trimmed at both ends ("" for a blank line).
    // False at the end of the input.
    bool read(const char* prompt, std::string* line);

    // Puts a line read into the history.
    void remember(const std::string& line);

  private:
    std::string history_;
};

}  // namespace nexo::client
