// Helpers of the in-process run-control tests: a current-directory guard (so
// that no stray TAVO_configuration.cfg is read), argument vectors and direct
// access to the run-settings record.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace driver_test {

// Makes dir the current directory for the lifetime of the object.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::string& dir) {
        char buffer[4096];
        if (getcwd(buffer, sizeof buffer) == nullptr) throw std::runtime_error("getcwd failed");
        previous_ = buffer;
        if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
    }
    ~CurrentDirectory() {
        if (chdir(previous_.c_str()) != 0) std::perror("chdir back");
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::string previous_;
};

struct ParseOutcome {
    bool ok = false;
    std::string message;
};

// parse_parameters on "TAVO_L0" followed by args.
inline ParseOutcome parse(const std::vector<std::string>& args) {
    std::vector<std::string> owned = {"TAVO_L0"};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : owned) argv.push_back(a.data());
    argv.push_back(nullptr);
    char run_message[kRunMessageCapacity];
    std::snprintf(run_message, sizeof run_message, "left over");
    ParseOutcome outcome;
    outcome.ok = parse_parameters(static_cast<int>(owned.size()), argv.data(), run_message);
    outcome.message = run_message;
    return outcome;
}

inline void set_text(int row, const std::string& value) {
    if (value.size() >= static_cast<size_t>(kValueSlot)) throw std::runtime_error("value too long for the slot");
    std::snprintf(run_settings.param_text[row], kValueSlot, "%s", value.c_str());
}

inline std::string text(int row) { return run_settings.param_text[row]; }

}  // namespace driver_test
