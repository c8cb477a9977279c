// Fuzz target: the state files tavo_campaign reads back from a campaign
// directory. Byte 0 chooses the file (0: follow.json, 1: a window's lease,
// 2: a window's result.json); the rest is its text. A file refused with
// the campaign's own error is a good outcome; anything else escaping is not.
#include <filesystem>

#include "campaign.h"
#include "fuzz_support.h"

namespace {

const campaign::Campaign& scratch_campaign() {
    static const campaign::Campaign c = [] {
        campaign::Campaign made;
        made.directory = fuzz_support::scratch_directory() + "/campaign";
        made.kite = 16;
        made.from = "2017/03/01t00:00:00";
        made.to = "2017/03/02t00:00:00";
        campaign::WindowPlan w;
        w.window = {1, {20170301, 0}, {20170302, 0}};
        made.windows.push_back(w);
        std::filesystem::create_directories(made.window_directory(1));
        return made;
    }();
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const campaign::Campaign& c = scratch_campaign();
    const std::string follow = c.directory + "/follow.json";
    const std::string lease = campaign::lease_path(c.window_directory(1));
    const std::string result = c.result_path(1);
    std::error_code ignored;
    for (const std::string& path : {follow, lease, result}) std::filesystem::remove(path, ignored);
    const int kind = data[0] % 3;
    if (!fuzz_support::write_file(kind == 0 ? follow : kind == 1 ? lease : result, data + 1, size - 1)) return 0;
    try {
        if (kind == 0) {
            campaign::follow_mark(c);
            campaign::follow_status_text(c, false);
            campaign::follow_status_text(c, true);
        } else if (kind == 1) {
            if (const auto held = campaign::read_lease(c.window_directory(1))) {
                campaign::lease_is_live(*held, "fuzz-host", 0);
                campaign::lease_holder_text(*held);
            }
        } else {
            campaign::status_text(campaign::campaign_status(c), false);
        }
    } catch (const campaign::CampaignError&) {
    }
    return 0;
}
