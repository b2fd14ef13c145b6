#include "words.h"

namespace nexo::client {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) {
            ++i;
        }
        std::size_t start = i;
        while (i < line.size() && !is_blank(line[i])) {
            ++i;
        }
        if (i > start) {
            words.emplace_back(line.substr(start, i - start));
        }
    }
    return words;
}

std::string join_words(const std::vector<std::string>& words, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) {
        if (i > from) {
            out += ' ';
        }
        out += words[i];
    }
    return out;
}

std::string trim(std::string_view line) {
    constexpr std::string_view kBlanks = " \t\r\n";
    std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return "";
    }
    return std::string(line.substr(first, line.find_last_not_of(kBlanks) - first + 1));
}

}  // namespace nexo::client
