// Fuzz target: parameter parsing and validation, from configuration-file
// text and command-line arguments.
//
// Input: the configuration file's text, then a zero byte, then the command
// line's arguments, one per line. Directory values that begin with "/" are
// moved under the scratch directory, and those that climb with ".." are not
// validated, so that the directories validation creates stay inside it.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fuzz_support.h"

namespace {

constexpr int kDirectoryRows[] = {PARAM_INPUT_ROOT_DIRECTORY, PARAM_WORKING_DIRECTORY, PARAM_OUTPUT_ROOT_DIRECTORY,
                                  PARAM_H5DUMP_EXE};

// False when a value could leave the scratch directory.
bool confine_paths(const std::string& scratch) {
    for (const int row : kDirectoryRows) {
        char* text = run_settings.param_text[row];
        if (std::strstr(text, "..") != nullptr) return false;
        if (text[0] != '/') continue;
        const std::string moved = scratch + text;
        if (moved.size() > kMaxValueLength) return false;
        std::memcpy(text, moved.c_str(), moved.size() + 1);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_support::set_quiet_run(false);
    reset_run_settings();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t end_of_file = std::min(input.find('\0'), input.size());
    const std::string& root = fuzz_support::scratch_directory();
    const std::string config = root + "/fuzz.cfg";
    if (!fuzz_support::write_file(config, data, end_of_file)) return 0;

    std::vector<std::string> arguments = {"TAVO_L0"};
    size_t begin = end_of_file + 1;
    while (begin <= input.size() && end_of_file < input.size()) {
        const size_t end = std::min(input.find('\n', begin), input.size());
        arguments.push_back(input.substr(begin, end - begin));
        begin = end + 1;
    }
    arguments.push_back("CONFIG=" + config);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    char message[kRunMessageCapacity] = "";
    if (!parse_parameters(static_cast<int>(arguments.size()), argv.data(), message)) return 0;
    // What validation creates is made afresh under the scratch directory.
    const std::string sandbox = root + "/tree";
    std::error_code ignored;
    std::filesystem::remove_all(sandbox, ignored);
    std::filesystem::create_directory(sandbox, ignored);
    if (!confine_paths(sandbox)) return 0;
    validate_parameters(message);
    return 0;
}
