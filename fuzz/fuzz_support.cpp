#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/base.h"

namespace fuzz_support {

namespace {

// Plain storage: it must outlive the string below, which the exit handler
// cannot use once static objects are destroyed.
char scratch_path[4096];

void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_path, ignored);
}

}  // namespace

const std::string& scratch_directory() {
    static const std::string path = [] {
        const std::string pattern = (std::filesystem::temp_directory_path() / "tavo-fuzz-XXXXXX").string();
        std::snprintf(scratch_path, sizeof scratch_path, "%s", pattern.c_str());
        if (mkdtemp(scratch_path) == nullptr) std::abort();
        std::atexit(remove_scratch);
        return std::string(scratch_path);
    }();
    return path;
}

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
    FileHandle file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, file.get()) == size;
    return std::fclose(file.release()) == 0 && written;
}

void set_quiet_run(bool despike) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s/",
                  scratch_directory().c_str());
    std::snprintf(run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY], kValueSlot, "%s/in/",
                  scratch_directory().c_str());
    run_settings.unix_paths = true;
    run_settings.path_separator = '/';
    run_settings.param_number[PARAM_INPUT_TYPE] = 1;
    run_settings.param_number[PARAM_KITE] = 16;
    run_settings.param_number[PARAM_DESPIKE] = despike ? 1 : 0;
    std::snprintf(run_settings.param_text[PARAM_DESPIKE], kValueSlot, "%s", despike ? "YES" : "NO");
}

}  // namespace fuzz_support
