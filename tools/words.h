// Words of a command line, as the daemon and its peers split them: at blanks and tabs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nexo::client {

// The words of line, without the blanks and tabs between them.
std::vector<std::string> split_words(std::string_view line);

// words[from..] joined with single blanks ("" when there are none).
std::string join_words(const std::vector<std::string>& words, std::size_t from = 0);

// line without blanks, tabs, carriage returns and newlines at either end.
std::string trim(std::string_view line);

}  // namespace nexo::client
