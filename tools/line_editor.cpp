#include "line_editor.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#if NEXO_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

#include "ext_cmds.h"
#include "words.h"

namespace nexo::client {

std::vector<std::string> control_words(const std::vector<std::string>& before) {
    if (before.empty()) {
        return {"GET", "SET"};
    }
    std::vector<std::string> words;
    if (before.size() == 1) {
        for (const char* const* table : {st2059_if_cmds, nexo_cmds, smpte2110_cmds}) {
            for (; *table != nullptr; ++table) {
                words.emplace_back(*table);
            }
        }
    }
    return words;
}

std::string home_file(const char* name) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        return "";
    }
    return std::string(home) + "/" + name;
}

#if NEXO_HAVE_LIBEDIT

namespace {

constexpr int kHistoryLines = 1000;

// libedit calls back through plain functions: the prompt's completer and the candidates of the
// completion under way live here.
completer active_completer;
std::vector<std::string> candidates;
std::size_t next_candidate = 0;

char* next_match(const char* text, int state) {
    if (state == 0) {
        next_candidate = 0;
    }
    const std::size_t len = std::strlen(text);
    while (next_candidate < candidates.size()) {
        const std::string& word = candidates[next_candidate++];
        // The daemon routes keywords without regard to case; complete them either way.
        if (::strncasecmp(word.c_str(), text, len) == 0) {
            return ::strdup(word.c_str());
        }
    }
    return nullptr;
}

char** complete(const char* text, int start, int /*end*/) {
    ::rl_attempted_completion_over = 1;  // never fall back to file names
    const std::size_t typed = ::strnlen(::rl_line_buffer, static_cast<std::size_t>(start));
    candidates.clear();
    if (active_completer) {
        candidates = active_completer(split_words(std::string_view(::rl_line_buffer, typed)));
    }
    return ::rl_completion_matches(text, next_match);
}

}  // namespace

line_editor::line_editor(const char* name, std::string history, completer complete_fn)
    : history_(std::move(history)) {
    active_completer = std::move(complete_fn);
    ::rl_readline_name = name;
    ::rl_attempted_completion_function = complete;
    ::using_history();
    ::stifle_history(kHistoryLines);
    if (!history_.empty()) {
        (void)::read_history(history_.c_str());
    }
}

line_editor::~line_editor() {
    if (!history_.empty()) {
        (void)::write_history(history_.c_str());
    }
    ::rl_attempted_completion_function = nullptr;
    active_completer = nullptr;
}

bool line_editor::read(const char* prompt, std::string* line) {
    char* raw = ::readline(prompt);
    if (raw == nullptr) {
        return false;
    }
    *line = trim(raw);
    std::free(raw);
    return true;
}

void line_editor::remember(const std::string& line) {
    ::add_history(line.c_str());
}

#else

// Without libedit: a plain prompt, no history, no completion.
line_editor::line_editor(const char* /*name*/, std::string /*history*/, completer /*complete*/) {}

line_editor::~line_editor() = default;

bool line_editor::read(const char* prompt, std::string* line) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    std::string raw;
    if (!std::getline(std::cin, raw)) {
        return false;
    }
    *line = trim(raw);
    return true;
}

void line_editor::remember(const std::string& /*line*/) {}

#endif

}  // namespace nexo::client
