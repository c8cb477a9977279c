// The campaign's state files read back with fields of the wrong type or
// range: a result or follow state is refused naming its file, a lease is no
// lease.
#include <gtest/gtest.h>

#include <filesystem>

#include "campaign.h"
#include "support/test_support.h"

namespace {

TEST(CampaignStateFiles, FieldsOfTheWrongTypeAreRefused) {
    const struct {
        std::string file;  // in the window's directory, or the campaign's for follow.json
        const char* text;
        const char* refusal;  // "" : read
    } cases[] = {
        {"result.json", R"({"exit_status":0,"products":["KITE-16/x.fits"]})", ""},
        {"result.json", R"({"exit_status":"0"})", "is not a task result"},
        {"result.json", R"({"exit_status":0,"products":[7]})", "is not a task result"},
        {"result.json", R"([0])", "is not a task result"},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"waiting":["a.nc"]})", ""},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"waiting":[1]})", "is not a follow state"},
        {"follow.json", R"({"mark":6,"first_seen":{}})", "is not a follow state"},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"cycles":1e30})", "is not a follow state"},
        {"follow.json", R"({"mark":"2017/03/01t06:00:00","first_seen":{},"last_cycle":{"window":"1"}})",
         "is not a follow state"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","started":1,"heartbeat":1})", ""},
        {"lease", R"({"host":"h","pid":"4711","token":"h-4711-x"})", "no lease"},
        {"lease", R"({"host":"h","pid":4294967295,"token":"h-x"})", "no lease"},
        {"lease", R"({"host":["h"],"pid":4711,"token":"h-4711-x"})", "no lease"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","heartbeat":17948436843668})", "no lease"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","started":-1})", "no lease"},
        {"lease", R"({"host":"h","pid":4711,"token":"h-4711-x","started":1.8e34})", "no lease"},
        {"started.json", R"({"host":"h","pid":4711,"started":"2026-12-09T10:00:00Z"})", ""},
        {"started.json", R"({"host":7,"pid":1.8e34,"started":["x"]})", ""},
    };
    test_support::TempDir t("tavo-campaign-state");
    campaign::Campaign c;
    c.directory = t / "campaign";
    c.from = "2017/03/01t00:00:00";
    c.windows.push_back({{1, {20170301, 0}, {20170302, 0}}, 0});
    std::filesystem::create_directories(c.window_directory(1));
    for (const auto& s : cases) {
        SCOPED_TRACE(s.file + " " + s.text);
        const std::string file = (s.file == "follow.json" ? c.directory : c.window_directory(1)) + "/" + s.file;
        test_support::write_file(file, s.text);
        std::string refusal;
        try {
            if (s.file == "lease" && !campaign::read_lease(c.window_directory(1))) refusal = "no lease";
            if (s.file == "result.json" || s.file == "started.json") campaign::campaign_status(c);
            if (s.file == "follow.json") campaign::follow_status_text(c, false), campaign::follow_mark(c);
        } catch (const campaign::CampaignError& e) {
            refusal = e.what();
            EXPECT_EQ(refusal.find(file), 0u) << refusal;
        }
        EXPECT_NE(refusal.find(s.refusal), std::string::npos) << refusal;
        EXPECT_EQ(refusal.empty(), *s.refusal == '\0') << refusal;
        std::filesystem::remove(file);
    }
}

}  // namespace
