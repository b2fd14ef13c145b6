// A fresh directory under /tmp for one test, removed with all it holds however the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nexo::test {

struct scratch_dir {
    std::string path;
    scratch_dir() {
        char tmpl[] = "/tmp/nexo-test-XXXXXX";
        path = ::mkdtemp(tmpl) != nullptr ? tmpl : "/nonexistent";
    }
    ~scratch_dir() { std::filesystem::remove_all(path); }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

}  // namespace nexo::test
