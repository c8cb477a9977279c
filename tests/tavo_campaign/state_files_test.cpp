// The campaign's state files read back with fields of the wrong type: a
// result or follow state is refused naming its file, a lease is no lease.
#include <gtest/gtest.h>

#include <filesystem>

#include "campaign.h"
#include "support/test_support.h"

namespace {

using test_support::write_file;

campaign::Campaign one_window_campaign(const std::string& directory) {
    campaign::Campaign c;
    c.directory = directory;
    c.from = "2017/03/01t00:00:00";
    c.to = "2017/03/02t00:00:00";
    campaign::WindowPlan w;
    w.window = {1, {20170301, 0}, {20170302, 0}};
    c.windows.push_back(w);
    std::filesystem::create_directories(c.window_directory(1));
    return c;
}

struct StateCase {
    const char* file;  // follow.json, lease or result.json
    const char* text;
    const char* refusal;  // nullptr: read
};

TEST(CampaignStateFiles, FieldsOfTheWrongTypeAreRefused) {
    const StateCase cases[] = {
        {"result.json", R"({"exit_status":0,"products":["KITE-16/x.fits"]})", nullptr},
        {"result.json", R"({"exit_status":"0"})", "is not a task result"},
        {"result.json", R"({"exit_status":0,"products":[7]})", "is not a task result"},
        {"result.json", R"([0])", "is not a task result"},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"waiting":["a.nc"]})", nullptr},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"waiting":[1]})", "is not a follow state"},
        {"follow.json", R"({"mark":6,"first_seen":{}})", "is not a follow state"},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"last_cycle":{"window":"1"}})",
         "is not a follow state"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","started":1,"heartbeat":1})", nullptr},
        {"lease", R"({"host":"h","pid":"4711","token":"h-4711-x"})", "no lease"},
        {"lease", R"({"host":"h","pid":4294967295,"token":"h-x"})", "no lease"},
        {"lease", R"({"host":["h"],"pid":4711,"token":"h-4711-x"})", "no lease"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","heartbeat":17948436843668})", "no lease"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","started":-1})", "no lease"},
    };
    test_support::TempDir t("tavo-campaign-state");
    const campaign::Campaign c = one_window_campaign(t / "campaign");
    for (const StateCase& s : cases) {
        SCOPED_TRACE(std::string(s.file) + " " + s.text);
        const std::string file = std::string(s.file) == "follow.json" ? c.directory + "/follow.json"
                                                                        : c.window_directory(1) + "/" + s.file;
        write_file(file, s.text);
        std::string refusal;
        try {
            if (std::string(s.file) == "lease") {
                if (!campaign::read_lease(c.window_directory(1))) refusal = "no lease";
            } else if (std::string(s.file) == "result.json") {
                campaign::status_text(campaign::campaign_status(c), false);
            } else {
                campaign::follow_mark(c);
                campaign::follow_status_text(c, false);
            }
        } catch (const campaign::CampaignError& e) {
            refusal = e.what();
            EXPECT_NE(refusal.find(file), std::string::npos) << refusal;
        }
        if (s.refusal == nullptr) {
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(s.refusal), std::string::npos) << refusal;
        }
        std::filesystem::remove(file);
    }
}

}  // namespace
