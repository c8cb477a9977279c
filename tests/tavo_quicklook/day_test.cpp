// The day's gaps from the cadence and the audit report, finding and reading
// reports, and the day and parameter texts.
#include <gtest/gtest.h>

#include <filesystem>

#include "quicklook.h"
#include "support/test_support.h"

namespace {

using namespace quicklook;
using test_support::TempDir;
using test_support::write_file;

// Products of one passband at the given seconds of the day.
std::vector<ProductInfo> products_at(int wavelength, const std::vector<double>& times) {
    std::vector<ProductInfo> list;
    for (double t : times) {
        ProductInfo p;
        p.wavelength = wavelength;
        p.time = t;
        list.push_back(p);
    }
    return list;
}

AuditImage not_written(const std::string& time, int wavelength, const std::string& reason) {
    return {time, wavelength, reason, reason.empty() ? "" : "text of " + reason};
}

struct GapCase {
    const char* name;
    std::vector<double> times;                // 171 A products
    bool audit;
    std::vector<AuditImage> audit_images;
    std::vector<std::pair<double, std::string>> gaps;  // time (-1 unknown) and reason
};

TEST(QuicklookGaps, FromTheCadenceAndTheAudit) {
    const GapCase cases[] = {
        {"complete", {0, 60, 120, 180, 240}, false, {}, {}},
        {"one missing", {0, 60, 180, 240, 300}, false, {}, {{120, ""}}},
        {"two missing", {0, 60, 240, 300, 360}, false, {}, {{120, ""}, {180, ""}}},
        {"jitter is no gap", {0, 61, 119, 181, 240}, false, {}, {}},
        {"audit explains the slot",
         {0, 60, 180, 240, 300},
         true,
         {not_written("2017-03-01T00:02:01.500", 171, "final_packet_missing")},
         {{121.5, "final_packet_missing"}}},
        {"audit image without time",
         {0, 60, 120, 180},
         true,
         {not_written("", -1, "no_header_packet")},
         {{-1, "no_header_packet"}}},
        {"audit image of another day or passband",
         {0, 60, 180, 240},
         true,
         {not_written("2017-03-02T00:02:00", 171, "x"), not_written("2017-03-01T00:02:00", 195, "y")},
         {{120, ""}, {120, "y"}}},
        {"images outside the window are no loss",
         {0, 60, 120, 180, 240},
         true,
         {not_written("2017-03-01T00:04:00.000", 171, "outside_window"),
          not_written("2017-03-01T00:05:00.000", 171, "outside_window")},
         {}},
        {"an image outside the window explains no slot",
         {0, 60, 180, 240, 300},
         true,
         {not_written("2017-03-01T00:02:00.000", 171, "outside_window")},
         {{120, ""}}},
    };
    for (const GapCase& c : cases) {
        SCOPED_TRACE(c.name);
        Audit audit;
        audit.not_written = c.audit_images;
        const std::vector<Gap> gaps = find_gaps(products_at(171, c.times), c.audit ? &audit : nullptr, 20170301);
        ASSERT_EQ(gaps.size(), c.gaps.size());
        for (size_t i = 0; i < gaps.size(); ++i) {
            EXPECT_NEAR(gaps[i].time, c.gaps[i].first, 1e-6);
            EXPECT_EQ(gaps[i].reason, c.gaps[i].second);
            EXPECT_FALSE(gaps[i].text.empty());
        }
    }
}

TEST(QuicklookAudit, ReportsAreReadOrRefusedWithAMessage) {
    TempDir t("tavo-ql-audit");
    write_file(t / "good.json",
               R"({"schema_version":1,"window":{"start":"2017-03-01T12:00:00","end":"2017-03-01T12:59:59"},
                   "images":[{"status":"written","time":"2017-03-01T12:00:02.000","wavelength":131},
                             {"status":"not_written","time":null,"wavelength":-1,"reason":"no_header",
                              "reason_text":"no header packet"}]})");
    write_file(t / "absent.json",
               R"({"schema_version":2,"images":[],"absent_ranges":[{"first_id":5,"last_id":7,
                   "after":{"image_id":4,"time":"2017-03-01T00:01:00.000"},
                   "before":{"image_id":8,"time":"2017-03-01T00:05:00.000"}}]})");
    write_file(t / "newer.json", R"({"schema_version":3,"images":[]})");
    write_file(t / "broken.json", "{\"schema_version\":1,");
    Audit audit;
    std::string error;
    ASSERT_TRUE(read_audit(t / "good.json", audit, error)) << error;
    ASSERT_EQ(audit.not_written.size(), 1u);
    EXPECT_EQ(audit.not_written[0].time_text, "");
    EXPECT_EQ(audit.not_written[0].reason_text, "no header packet");
    EXPECT_EQ(audit.window_end, "2017-03-01T12:59:59");
    ASSERT_TRUE(read_audit(t / "absent.json", audit, error)) << error;
    ASSERT_EQ(audit.absent.size(), 1u);
    // The cadence's empty slots between the absent range's neighbours are its images.
    const std::vector<Gap> gaps = find_gaps(products_at(171, {0, 60, 300, 360, 420}), &audit, 20170301);
    ASSERT_EQ(gaps.size(), 3u);
    for (const Gap& gap : gaps) {
        EXPECT_EQ(gap.reason, "absent");
        EXPECT_NE(gap.text.find("absent from the level-0 (ids 5 to 7)"), std::string::npos) << gap.text;
    }
    for (const char* bad : {"newer.json", "broken.json", "missing.json"}) {
        error.clear();
        EXPECT_FALSE(read_audit(t / bad, audit, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

TEST(QuicklookAudit, TheNewestReportWhoseWindowHoldsTheDay) {
    TempDir t("tavo-ql-find");
    const std::string dir = t / "KITE-16/audit";
    test_support::make_dirs(dir);
    EXPECT_EQ(find_day_audit(t.path(), 16, 20170301), "");
    write_file(dir + "/audit_20170301T120000_20170301T145959.json", "{}");
    write_file(dir + "/audit_20170302T000000_20170302T235959.json", "{}");
    write_file(dir + "/audit_20170301T120000_20170301T145959.csv", "");
    EXPECT_EQ(find_day_audit(t.path(), 16, 20170301), dir + "/audit_20170301T120000_20170301T145959.json");
    write_file(dir + "/audit_20170228T000000_20170303T235959.json", "{}");
    std::filesystem::last_write_time(dir + "/audit_20170228T000000_20170303T235959.json",
                                     std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    EXPECT_EQ(find_day_audit(t.path(), 16, 20170301), dir + "/audit_20170228T000000_20170303T235959.json");
    EXPECT_EQ(find_day_audit(t.path(), 17, 20170301), "");
}

TEST(QuicklookOptions, DaysAndParameters) {
    EXPECT_EQ(parse_day("2017-03-01"), 20170301u);
    EXPECT_EQ(parse_day("2016/02/29"), 20160229u);
    for (const char* bad : {"2017-02-29", "2017-3-1", "20170301", "2017-03-01x", "2017/03-01", ""}) {
        EXPECT_EQ(parse_day(bad), 0u) << bad;
    }
    TempDir t("tavo-ql-params");
    write_file(t / "q.cfg", "OUTPUT_ROOT_DIRECTORY=/data/products/\nKITE=17\nSTART=2018/11/01t12\nEND=2018/11/03\n");
    Options options;
    std::string error;
    ASSERT_TRUE(options_from_parameters({"CONFIG=" + t / "q.cfg", "KITE=18"}, options, error)) << error;
    EXPECT_EQ(options.root, "/data/products/");
    EXPECT_EQ(options.kite, 18);
    EXPECT_EQ(options.first_day, 20181101u);
    EXPECT_EQ(options.last_day, 20181103u);
    const std::pair<std::vector<std::string>, const char*> failures[] = {
        {{"KITE=20"}, "KITE must be 16, 17, 18, or 19"},
        {{"START=2018/13/01"}, "START"},
        {{"CONFIG=" + t / "absent.cfg"}, "Unable to open CONFIG file"},
        {{"NOT_A_PARAMETER=1"}, "NOT_A_PARAMETER"},
    };
    for (const auto& [parameters, message] : failures) {
        Options o;
        error.clear();
        EXPECT_FALSE(options_from_parameters(parameters, o, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

}  // namespace

namespace {

TEST(QuicklookMovies, FfmpegFromThePathAndAFailedEncodingLeavesNothing) {
    TempDir t("tavo-ql-movie");
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", t.path().c_str(), 1);
    EXPECT_EQ(quicklook::find_ffmpeg(), "");
    write_file(t / "ffmpeg", "#!/bin/sh\necho 'Unknown encoder libx264' >&2\nexit 1\n");
    std::filesystem::permissions(t / "ffmpeg", std::filesystem::perms::owner_all);
    EXPECT_EQ(quicklook::find_ffmpeg(), t / "ffmpeg");
    setenv("PATH", saved.c_str(), 1);

    write_file(t / "frame.png", "");
    std::string error;
    EXPECT_FALSE(quicklook::write_movie(t / "ffmpeg", {t / "frame.png"}, t / "movie_171.mp4", error));
    EXPECT_EQ(error, "ffmpeg could not write " + t / "movie_171.mp4" + ": Unknown encoder libx264");
    EXPECT_EQ(test_support::list_dir(t.path()), (std::vector<std::string>{"ffmpeg", "frame.png"}));
}

}  // namespace
