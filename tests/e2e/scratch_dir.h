// scratch_dir: a private directory for a test's keys, certificates and state files, removed
// with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

struct scratch_dir {
    std::string path;
    scratch_dir() {
        char tmpl[] = "/tmp/nexo-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};
