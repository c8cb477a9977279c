// Fuzz target: the mission page's reading of a follower's metrics file, on
// bytes given as the file's text: read, or its damage named.
#include "catalog.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    tavo_catalog::FollowerState state;
    std::string why;
    tavo_catalog::parse_follower_metrics(text, 16, state, why);
    return 0;
}
