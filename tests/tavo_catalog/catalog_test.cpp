// tavo_catalog on the audits of simulated hours that TAVO_L0 processed: the
// catalog against the simulator's manifest, the replay table against the
// packets it lost, repeated and superseding ingests, refused reports and
// damaged catalogs, and the mission page in headless Chromium.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <nlohmann/json.hpp>
#include <set>

#include "catalog.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::read_file;
using test_support::run_program;
using test_support::TempDir;
using test_support::write_file;

constexpr const char* kDay = "2017-03-01";

// One simulated hour with faults, processed by TAVO_L0 and audited.
struct Hour {
    explicit Hour(const std::vector<std::string>& faults, const std::string& duration = "1h") {
        std::vector<std::string> sim = {TAVO_L0SIM_BINARY, "--size", "64", "--duration", duration, "--seed", "5",
                                        "--out", dir / "l0"};
        for (const std::string& fault : faults) sim.insert(sim.end(), {"--fault", fault});
        const auto simulated = run_program(sim);
        EXPECT_EQ(simulated.exit_status, 0) << simulated.err;
        manifest = json::parse(read_file(dir / "l0/manifest.json"));
        fs::create_directories(dir / "work");
        fs::create_directories(dir / "out");
        end = duration == "1h" ? "2017/03/01t12:59:59" : "2017/03/01t12:19:59";
        const auto run = program(TAVO_L0_BINARY, {});
        EXPECT_EQ(run.exit_status, 0) << run.out;
    }
    test_support::ProgramResult program(const char* binary, std::vector<std::string> args) const {
        std::vector<std::string> argv = {binary};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const char* p : {"INPUT_TYPE=HDF", "INPUT_SUBDIRECTORY=FLAT", "H5DUMP_EXE=/usr/bin/h5dump",
                                     "DESPIKE=YES", "ISP_CSV=NO", "KITE=16", "START=2017/03/01t12:00:00",
                                     "CONFIG=/dev/null"})
            argv.push_back(p);
        for (const std::string& p : {"INPUT_ROOT_DIRECTORY=" + dir / "l0", "WORKING_DIRECTORY=" + dir / "work",
                                     "OUTPUT_ROOT_DIRECTORY=" + dir / "out", "END=" + end})
            argv.push_back(p);
        return run_program(argv);
    }
    // Audits the hour into report; the audit exits 1 for the faults' losses.
    std::string audit(const std::string& name) const {
        const auto audited = program(TAVO_L0AUDIT_BINARY, {"--quiet", "--report", dir / name});
        EXPECT_EQ(audited.exit_status, 1) << audited.err;
        return dir / name;
    }
    test_support::ProgramResult catalog(std::vector<std::string> args, const std::string& db = "") const {
        std::vector<std::string> argv = {TAVO_CATALOG_BINARY, "--db", db.empty() ? dir / "c.sqlite" : db};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv);
    }
    json query(std::vector<std::string> args) const {
        args.insert(args.end(), {"--from", kDay, "--to", kDay, "--json"});
        const auto result = catalog(args);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        return json::parse(result.out);
    }
    TempDir dir{"tavo-catalog"};
    json manifest;
    std::string end;
};

// Every row of every table: what "nothing changed" compares.
std::string contents(const std::string& path) {
    tavo_catalog::Catalog catalog;
    std::string error;
    if (!catalog.open(path, false, error)) return error;
    std::string text;
    for (const char* table : {"runs", "level0_files", "reasons", "images", "products", "product_sources",
                              "replay_ranges", "daily", "daily_losses"}) {
        tavo_catalog::Statement rows(catalog, (std::string("SELECT * FROM ") + table).c_str());
        while (rows.step()) {
            for (int c = 0; c < rows.columns(); ++c) text += rows.text(c) + "|";
            text += "\n";
        }
    }
    return text;
}

class CatalogOfAnHour : public testing::Test {
protected:
    static void SetUpTestSuite() {
        hour_ = new Hour({"missing-final@17", "bad-header-bits@60", "truncate@150", "id-repeat@230"});
        report_ = new std::string(hour_->audit("report.json"));
    }
    static void TearDownTestSuite() {
        delete report_;
        delete hour_;
    }
    void SetUp() override {
        fs::remove(hour_->dir / "c.sqlite");
        const auto ingest = hour_->catalog({"ingest", *report_});
        ASSERT_EQ(ingest.exit_status, 0) << ingest.err;
        EXPECT_NE(ingest.out.find("ingested, 360 images"), std::string::npos) << ingest.out;
    }
    static Hour* hour_;
    static std::string* report_;
};
Hour* CatalogOfAnHour::hour_ = nullptr;
std::string* CatalogOfAnHour::report_ = nullptr;

TEST_F(CatalogOfAnHour, AgreesWithTheManifest) {
    // Missing: each image not written with its reason, the absent ones as one range.
    std::set<std::pair<uint32_t, std::string>> expected, listed;
    int products = 0, light_171 = 0;
    for (const json& image : hour_->manifest["images"]) {
        const uint32_t id = image["id"];
        const json& outcome = image["expected"];
        if (!image["in_level0"].get<bool>()) expected.insert({id, "absent"});
        else if (outcome["status"] == "not_written") expected.insert({id, outcome["reason"]});
        else ++products;
        if (outcome["status"] != "not_written" && image["passband"]["wavelength"] == 171 &&
            image["frame_type"] == "LIGHT")
            ++light_171;
    }
    const json missing = hour_->query({"missing"});
    for (const json& row : missing)
        for (uint32_t id = row["first_id"]; id <= row["last_id"].get<uint32_t>(); ++id) listed.insert({id, row["reason"]});
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(missing.size(), expected.size() - 28);  // the 29 absent images make one row

    const json summary = hour_->query({"summary"});
    ASSERT_FALSE(summary.empty());
    EXPECT_EQ(summary.back()["passband"], "all");
    EXPECT_EQ(summary.back()["products"], products);
    EXPECT_EQ(summary.back()["images"], 360);
    EXPECT_EQ(summary.back()["partial"], 1);

    const json listed_products = hour_->query({"products", "--passband", "171", "--frame-type", "LIGHT"});
    EXPECT_EQ(listed_products.size(), static_cast<size_t>(light_171));
    for (const json& p : listed_products) EXPECT_TRUE(fs::exists(hour_->dir / ("out/" + p["product"].get<std::string>())));

    // Provenance: the level-0 files the simulator put the image's packets in.
    const std::string product = listed_products[0]["product"];
    const auto sources = hour_->catalog({"sources", fs::path(product).filename().string(), "--json"});
    ASSERT_EQ(sources.exit_status, 0) << sources.err;
    std::set<std::string> files;
    for (const json& row : json::parse(sources.out)) files.insert(row["level0_file"].get<std::string>());
    const uint32_t id = std::stoul(fs::path(product).filename().string().substr(20, 8));
    for (const json& image : hour_->manifest["images"]) {
        if (image["id"] == id && image["expected"]["status"] != "not_written") {
            EXPECT_EQ(files, image["files"].get<std::set<std::string>>());
        }
    }
}

// The replay table names every packet the simulator lost, per identifier.
TEST_F(CatalogOfAnHour, ReplayTableAgainstTheLostPackets) {
    std::map<int, int> lost, listed;
    for (const json& image : hour_->manifest["images"]) lost[image["apid"].get<int>()] += image["lost_packets"].get<int>();
    const auto replay = hour_->catalog({"replay", "--from", kDay, "--to", kDay, "--csv"});
    ASSERT_EQ(replay.exit_status, 0) << replay.err;
    const std::vector<std::string> lines = test_support::split_lines(replay.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "kite,apid,first_sequence_count,last_sequence_count,packets_missing,after,before,level0_file");
    for (size_t i = 1; i < lines.size(); ++i) {
        int kite = 0, apid = 0, first = 0, last = 0, missing = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%d,%d,%d,%d,%d,", &kite, &apid, &first, &last, &missing), 5) << lines[i];
        EXPECT_EQ(missing, (last - first + 1 + 0x4000) % 0x4000) << lines[i];
        listed[apid] += missing;
    }
    std::erase_if(lost, [](const auto& entry) { return entry.second == 0; });
    EXPECT_EQ(listed, lost);
}

TEST_F(CatalogOfAnHour, RepeatedIngestChangesNothing) {
    const std::string before = contents(hour_->dir / "c.sqlite");
    const auto again = hour_->catalog({"ingest", *report_, *report_});
    ASSERT_EQ(again.exit_status, 0) << again.err;
    EXPECT_NE(again.out.find("unchanged, 0 images"), std::string::npos) << again.out;
    EXPECT_EQ(contents(hour_->dir / "c.sqlite"), before);
}

struct Refusal {
    const char* name;
    std::vector<std::string> args;  // after --db; "@" is replaced by the test directory
    const char* message;
};

class CatalogRefuses : public CatalogOfAnHour, public testing::WithParamInterface<Refusal> {};

// A report of another schema, a file that is no report, a bad request, a
// damaged catalog or one reached through a link: one message, exit status 2,
// nothing changed.
TEST_P(CatalogRefuses, WithOneMessageAndNothingChanged) {
    json old = json::parse(read_file(*report_));
    old["schema_version"] = 1;
    write_file(hour_->dir / "schema1.json", old.dump());
    write_file(hour_->dir / "broken.json", read_file(*report_).substr(0, 1000));
    write_file(hour_->dir / "garbage.sqlite", std::string(4096, 'x'));
    std::error_code ec;
    fs::create_symlink(hour_->dir / "c.sqlite", hour_->dir / "linked.sqlite", ec);
    const std::string before = contents(hour_->dir / "c.sqlite");
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        if (arg[0] == '@') arg = hour_->dir / arg.substr(1);
        args.push_back(arg);
    }
    const bool other_db = args[0] == "--db";
    const auto result = other_db ? run_program([&] {
        std::vector<std::string> argv = {TAVO_CATALOG_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }())
                                 : hour_->catalog(args);
    EXPECT_EQ(result.exit_status, 2) << result.out;
    EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
    EXPECT_EQ(contents(hour_->dir / "c.sqlite"), before);
    EXPECT_EQ(read_file(hour_->dir / "garbage.sqlite"), std::string(4096, 'x'));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CatalogRefuses,
    testing::Values(
        Refusal{"other_schema", {"ingest", "@report.json", "@schema1.json"}, "report schema 1, the catalog reads schema 2"},
        Refusal{"not_json", {"ingest", "@broken.json"}, "is not JSON; nothing changed"},
        Refusal{"no_report", {"ingest", "@absent.json"}, "cannot open report"},
        Refusal{"damaged", {"--db", "@garbage.sqlite", "ingest", "@report.json"}, "is damaged or not a catalog"},
        Refusal{"damaged_query", {"--db", "@garbage.sqlite", "summary", "--from", kDay, "--to", kDay}, "is damaged"},
        Refusal{"linked", {"--db", "@linked.sqlite", "ingest", "@report.json"}, "linked.sqlite is a symbolic link"},
        Refusal{"bad_period", {"summary", "--from", "2017-03-31", "--to", kDay}, "ends (2017-03-01) before it begins"},
        Refusal{"bad_option", {"summary", "--from", kDay}, "--to is required"},
        Refusal{"unknown_product", {"sources", "20170301_120000_000_00000001.fits"}, "is not in the catalog"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// The mission page in Chromium: one cell per day and passband, coloured by
// completeness and linked to the day's quicklook page, and the losses.
TEST_F(CatalogOfAnHour, MissionPageInChromium) {
    test_support::make_dirs(hour_->dir / "out/KITE-16/quicklook/2017/03/01");
    write_file(hour_->dir / "out/KITE-16/quicklook/2017/03/01/index.html", "<html>day page</html>");
    const auto page = hour_->catalog({"page", "--from", "2017-02-27", "--to", "2017-03-02", "--out", hour_->dir / "mission"});
    ASSERT_EQ(page.exit_status, 0) << page.err;
    const auto dom = test_support::run_chromium(hour_->dir / "profile",
                                                {"--dump-dom", "file://" + hour_->dir / "mission/index.html"});
    ASSERT_EQ(dom.exit_status, 0) << dom.err;
    const auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = dom.out.find(text); at != std::string::npos; at = dom.out.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("data-completeness="), 7u);  // six passbands and the day's total
    EXPECT_EQ(count("href=\"../out/KITE-16/quicklook/2017/03/01/index.html\""), 7u);
    EXPECT_EQ(count("class=\"cell empty\""), 21u);  // three days without images
    EXPECT_EQ(count("data-passband=\"all\""), 1u);
    for (const char* reason : {"absent", "final_packet_missing", "id_not_above_last", "written_partial"})
        EXPECT_EQ(count(std::string("data-reason=\"") + reason + "\""), 1u) << reason;
    EXPECT_NE(dom.out.find("data-images=\"29\""), std::string::npos);
}

// --- Metrics ----------------------------------------------------------------------

// "name{labels}" -> value of each sample of a metrics text.
std::map<std::string, double> samples(const std::string& text) {
    std::map<std::string, double> values;
    for (const std::string& line : test_support::split_lines(text)) {
        const size_t space = line.rfind(' ');
        if (!line.empty() && line[0] != '#' && space != std::string::npos)
            values[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return values;
}

// The metrics file of the faulty hour: promtool takes it, and its figures are
// the manifest's: the 131 A images and products (one lost, one partial and
// counted, as summary counts it), the absent images (passband unknown) and
// the packets lost, the same over both ranges (an hour of data).
TEST_F(CatalogOfAnHour, MetricsFilePassesPromtoolWithTheRunsCompleteness) {
    const auto written = hour_->catalog({"metrics", "--out", hour_->dir / "metrics"});
    ASSERT_EQ(written.exit_status, 0) << written.err;
    EXPECT_EQ(written.out, "");
    const std::string file = hour_->dir / "metrics/tavo_l0_catalog.prom";
    ASSERT_TRUE(fs::exists("/usr/bin/promtool")) << "promtool: scripts/install_packages.sh installs prometheus";
    const auto promtool = run_program({"/bin/sh", "-c", "/usr/bin/promtool check metrics < \"$1\"", "sh", file});
    EXPECT_EQ(promtool.exit_status, 0) << promtool.out << promtool.err;
    EXPECT_EQ(hour_->catalog({"metrics"}).out, read_file(file));  // standard output without --out

    double images = 0, products = 0, absent = 0, lost_packets = 0;
    for (const json& image : hour_->manifest["images"]) {
        lost_packets += image["lost_packets"].get<int>();
        if (!image["in_level0"].get<bool>()) {
            ++absent;
        } else if (image["passband"]["wavelength"] == 131) {
            ++images;
            products += image["expected"]["status"] != "not_written";
        }
    }
    ASSERT_EQ(products, images - 1);
    const std::map<std::string, double> values = samples(read_file(file));
    const struct {
        const char* sample;
        double expected;
    } rows[] = {
        {"tavo_l0_catalog_images{kite=\"16\",passband=\"131\",range=\"24h\"}", images},
        {"tavo_l0_catalog_products{kite=\"16\",passband=\"131\",range=\"24h\"}", products},
        {"tavo_l0_catalog_completeness_ratio{kite=\"16\",passband=\"131\",range=\"24h\"}", products / images},
        {"tavo_l0_catalog_completeness_ratio{kite=\"16\",passband=\"131\",range=\"30d\"}", products / images},
        {"tavo_l0_catalog_images{kite=\"16\",passband=\"unknown\",range=\"30d\"}", absent},
        {"tavo_l0_catalog_completeness_ratio{kite=\"16\",passband=\"unknown\",range=\"30d\"}", 0},
        {"tavo_l0_catalog_replay_packets{kite=\"16\",range=\"24h\"}", lost_packets},
    };
    for (const auto& row : rows) {
        const auto found = values.find(row.sample);
        ASSERT_NE(found, values.end()) << row.sample;
        EXPECT_NEAR(found->second, row.expected, 1e-12) << row.sample;
    }
    const double ingested = values.at("tavo_l0_catalog_last_ingest_timestamp_seconds{kite=\"16\"}");
    EXPECT_NEAR(ingested, static_cast<double>(std::time(nullptr)), 120);
}

// The page beside the followers' metrics files: KITE-16's mark and the age
// of its last products; KITE-17's file, cut short, named on the page and on
// standard error, the page drawn all the same; KITE-18 without a file left out.
TEST_F(CatalogOfAnHour, PageShowsTheFollowersAndNamesADamagedMetricsFile) {
    const std::string metrics = hour_->dir / "follow-metrics";
    test_support::make_dirs(metrics);
    const long long last_product = static_cast<long long>(std::time(nullptr)) - 7260;
    write_file(metrics + "/tavo_l0_follow_k16.prom",
               "# HELP tavo_l0_follow_processed_to_timestamp_seconds the mark\n"
               "# TYPE tavo_l0_follow_processed_to_timestamp_seconds gauge\n"
               "tavo_l0_follow_processed_to_timestamp_seconds{kite=\"16\"} 1488373199\n"
               "tavo_l0_follow_last_product_timestamp_seconds{kite=\"16\"} " + std::to_string(last_product) + "\n"
               "tavo_l0_follow_product_latency_seconds_bucket{kite=\"16\",le=\"+Inf\"} 3\n");
    write_file(metrics + "/tavo_l0_follow_k17.prom", "tavo_l0_follow_processed_to_timestamp_seconds{kite=\"17\"} 14883");
    const auto page = hour_->catalog(
        {"page", "--from", kDay, "--to", kDay, "--out", hour_->dir / "follow-page", "--metrics", metrics});
    ASSERT_EQ(page.exit_status, 0) << page.err;
    EXPECT_EQ(page.err, "tavo_catalog: metrics file " + metrics + "/tavo_l0_follow_k17.prom is damaged (no "
                        "tavo_l0_follow_last_product_timestamp_seconds of KITE-17); the page says so\n");
    const std::string html = read_file(hour_->dir / "follow-page/index.html");
    EXPECT_NE(html.find("<td class=\"processed-to\">2017-03-01T12:59:59Z</td>"), std::string::npos) << html;
    const size_t age = html.find("data-age-seconds=\"");
    ASSERT_NE(age, std::string::npos) << html;
    const int seconds = std::stoi(html.substr(age + 18));
    EXPECT_GE(seconds, 7260);
    EXPECT_LT(seconds, 7320);
    EXPECT_NE(html.find(">2 h 1 min ago</td>"), std::string::npos) << html;
    EXPECT_NE(html.find("metrics file " + metrics + "/tavo_l0_follow_k17.prom is damaged"), std::string::npos);
    EXPECT_EQ(html.find("data-kite=\"18\""), std::string::npos);
    // Without --metrics the page says nothing of the followers.
    ASSERT_EQ(hour_->catalog({"page", "--from", kDay, "--to", kDay, "--out", hour_->dir / "plain-page"}).exit_status, 0);
    EXPECT_EQ(read_file(hour_->dir / "plain-page/index.html").find("Followers"), std::string::npos);
}

// A newer audit of the same window after the level-0 files were sent
// again: it takes the older one's place, and the products made from the
// old files are to be reprocessed until TAVO_L0 runs again.
TEST(CatalogSupersede, NewerAuditReplacesTheOlderAndChangedFilesAskForReprocessing) {
    Hour hour({"truncate@50"}, "20min");
    const std::string first = hour.audit("first.json");
    ASSERT_EQ(hour.catalog({"ingest", first}).exit_status, 0);
    EXPECT_EQ(hour.query({"missing"}).size(), 2u);  // the cut image and the absent range
    // Products made an hour ago; the files sent again now, whole.
    for (const auto& entry : fs::recursive_directory_iterator(hour.dir / "out"))
        if (entry.path().extension() == ".fits")
            fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    const auto resent = run_program({TAVO_L0SIM_BINARY, "--size", "64", "--duration", "20min", "--seed", "5", "--out",
                                     hour.dir / "l0"});
    ASSERT_EQ(resent.exit_status, 0);
    const auto newer = hour.program(TAVO_L0AUDIT_BINARY, {"--quiet", "--report", hour.dir / "second.json"});
    const auto superseding = hour.catalog({"ingest", hour.dir / "second.json"});
    ASSERT_EQ(superseding.exit_status, 0) << superseding.err;
    EXPECT_NE(superseding.out.find("superseded, 120 images"), std::string::npos) << superseding.out;
    const json summary = hour.query({"summary"});
    EXPECT_EQ(summary.back()["images"], 120);
    for (const json& row : hour.query({"missing"})) EXPECT_NE(row["reason"], "absent");
    const auto reprocess = hour.catalog({"reprocess", "--json"});
    ASSERT_EQ(reprocess.exit_status, 0) << reprocess.err;
    const json windows = json::parse(reprocess.out);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_NE(windows[0]["why"].get<std::string>().find("level-0 file changed"), std::string::npos);
    EXPECT_NE(windows[0]["command"].get<std::string>().find(
                  "tavo_campaign plan --dir reprocess-K16-2017-03-01 --config TAVO_configuration.cfg --kite 16 "
                  "--from 2017/03/01 --to 2017/03/01"),
              std::string::npos);

    // The older report again is left out; TAVO_L0 run again clears the list.
    const std::string before = contents(hour.dir / "c.sqlite");
    const auto older = hour.catalog({"ingest", first});
    EXPECT_NE(older.out.find("older, 0 images"), std::string::npos) << older.out;
    EXPECT_EQ(contents(hour.dir / "c.sqlite"), before);
    ASSERT_EQ(hour.program(TAVO_L0_BINARY, {}).exit_status, 0);
    hour.program(TAVO_L0AUDIT_BINARY, {"--quiet", "--report", hour.dir / "third.json"});
    ASSERT_EQ(hour.catalog({"ingest", hour.dir / "third.json"}).exit_status, 0);
    EXPECT_EQ(json::parse(hour.catalog({"reprocess", "--json"}).out).size(), 0u);
    EXPECT_EQ(json::parse(hour.catalog({"reprocess", "--made-before", "9.0", "--json"}).out).size(), 1u);
    (void)newer;
}

// --- Hostile and damaged inputs ------------------------------------------------

// The report with one field set (a JSON pointer and its new value).
std::string edited_report(const std::string& report, const std::string& pointer, const json& value,
                          const std::string& path) {
    json edited = json::parse(read_file(report));
    edited[json::json_pointer(pointer)] = value;
    write_file(path, edited.dump());
    return path;
}

// A report field by field: the wrong type or a value out of range is
// refused with its field's name, exit 2, the catalog unchanged.
TEST_F(CatalogOfAnHour, RefusesReportFieldsOfTheWrongTypeOrRange) {
    const json report = json::parse(read_file(*report_));
    size_t gap_file = 0;
    while (gap_file < report["files"].size() && report["files"][gap_file]["sequence_gaps"].empty()) ++gap_file;
    ASSERT_LT(gap_file, report["files"].size());
    ASSERT_FALSE(report["absent_ranges"].empty());
    const json& range = report["absent_ranges"][0];
    const int64_t huge_last = range["first_id"].get<int64_t>() + 1000000000000000;  // 10^15 images
    struct Case {
        std::string pointer;
        json value;
        std::string field;  // the message names it
    };
    const std::string gap = "/files/" + std::to_string(gap_file) + "/sequence_gaps/0/apid";
    const Case cases[] = {
        {"/images/0/wavelength", nullptr, "images[0].wavelength must be an integer"},
        {"/exit_status", "1", "exit_status must be an integer"},
        {"/files/0/size", "big", "files[0].size must be an integer"},
        {gap, "810", "files[" + std::to_string(gap_file) + "].sequence_gaps[0].apid must be an integer from 0 to 2047"},
        {gap, 4096, "files[" + std::to_string(gap_file) + "].sequence_gaps[0].apid must be an integer from 0 to 2047"},
        {"/absent_ranges/0/first_id", "x", "absent_ranges[0].first_id must be an integer"},
        {"/absent_ranges/0/last_id", huge_last, "absent_ranges[0].last_id must be an integer from 0 to 4294967295"},
        {"/absent_ranges/0/last_id", huge_last / 1000000, "absent_ranges[0].last_id must be within 3600 images"},
        {"/absent_ranges/0/after/image_id", range["last_id"], "absent_ranges[0].first_id must be at most last_id"},
        {"/kite", 99, "kite must be a satellite from 16 to 19"},
        {"/kite", "16", "kite must be a satellite"},
        {"/window/end", "9999-12-31T23:59:59", "window.end must be a time of the years 2000 to 2099"},
        {"/window/end", "2017-02-28T00:00:00", "window.end must be no earlier than window.start"},
        {"/images/0/image_id", -1, "images[0].image_id must be an integer from 0 to 4294967295"},
        {"/images/0/status", "lost", "images[0].status must be written"},
        {"/images/0/frame_type", 1, "images[0].frame_type must be LIGHT, DARK or null"},
        {"/images/0/files/0", 7, "images[0].files[0] must be a file name"},
        {"/images/1", "image", "images[1] must be an object"},
        {"/audit_run/host", json::array(), "audit_run.host must be a text"},
        {"/files", json::object(), "files must be a list"},
    };
    const std::string before = contents(hour_->dir / "c.sqlite");
    for (const Case& c : cases) {
        const std::string path = edited_report(*report_, c.pointer, c.value, hour_->dir / "edited.json");
        const auto result = hour_->catalog({"ingest", path});
        EXPECT_EQ(result.exit_status, 2) << c.field << ": " << result.err;
        EXPECT_NE(result.err.find("tavo_catalog: report " + path + ": " + c.field), std::string::npos)
            << c.field << ": " << result.err;
        EXPECT_EQ(contents(hour_->dir / "c.sqlite"), before) << c.field;
    }
}

// Reports that would be refused make no catalog file.
TEST_F(CatalogOfAnHour, NoCatalogFileForRefusedReports) {
    const std::string edited = edited_report(*report_, "/kite", 99, hour_->dir / "kite99.json");
    for (const std::string& report : {hour_->dir / "absent.json", edited}) {
        const std::string db = hour_->dir / "new.sqlite";
        const auto result = hour_->catalog({"ingest", *report_, report}, db);
        EXPECT_EQ(result.exit_status, 2) << result.err;
        for (const char* suffix : {"", "-wal", "-shm", "-verified"})
            EXPECT_FALSE(fs::exists(db + suffix)) << report << suffix;
    }
}

// The root page of a table, and the page size.
std::pair<int64_t, int64_t> table_page(const std::string& db, const char* table) {
    tavo_catalog::Catalog catalog;
    std::string error;
    EXPECT_TRUE(catalog.open(db, false, error)) << error;
    tavo_catalog::Statement root(catalog, (std::string("SELECT rootpage, (SELECT page_size FROM pragma_page_size) "
                                                       "FROM sqlite_master WHERE name = '") + table + "'").c_str());
    EXPECT_TRUE(root.step()) << root.error();
    return {root.integer(0), root.integer(1)};
}

// The last 2 KiB of the daily table's page (its rows) zeroed or randomised,
// after a verified read: every subcommand refuses the catalog by name, and
// an ingest leaves it byte for byte as it was.
TEST_F(CatalogOfAnHour, DamagedCatalogRefusedByEverySubcommand) {
    const std::string product = hour_->query({"products"})[0]["product"];
    for (const char* damage : {"zeroed", "random"}) {
        const std::string db = hour_->dir / (std::string(damage) + ".sqlite");
        fs::remove(db + "-verified");
        fs::copy_file(hour_->dir / "c.sqlite", db, fs::copy_options::overwrite_existing);
        ASSERT_EQ(hour_->catalog({"summary", "--from", kDay, "--to", kDay}, db).exit_status, 0);
        ASSERT_TRUE(fs::exists(db + "-verified"));  // a verified read remembers the file
        const auto [page, page_size] = table_page(db, "daily");
        std::string bytes = read_file(db);
        std::mt19937 random(7);
        for (int64_t at = page * page_size - 2048; at < page * page_size; ++at)
            bytes[static_cast<size_t>(at)] = damage[0] == 'z' ? '\0' : static_cast<char>(random());
        write_file(db, bytes);
        const std::vector<std::vector<std::string>> commands = {
            {"summary", "--from", kDay, "--to", kDay},  {"missing", "--from", kDay, "--to", kDay},
            {"products", "--from", kDay, "--to", kDay}, {"replay", "--from", kDay, "--to", kDay},
            {"page", "--from", kDay, "--to", kDay, "--out", hour_->dir / "damaged-page"},  {"metrics"},
            {"sources", fs::path(product).filename().string()},  {"reprocess", "--made-before", "9.0"},
            {"check"},                                  {"ingest", *report_},
        };
        for (const auto& command : commands) {
            const auto result = hour_->catalog(command, db);
            EXPECT_EQ(result.exit_status, 2) << damage << " " << command[0] << ": " << result.out;
            EXPECT_NE(result.err.find("tavo_catalog: catalog " + db + " is damaged or not a catalog ("),
                      std::string::npos)
                << damage << " " << command[0] << ": " << result.err;
        }
        EXPECT_EQ(read_file(db), bytes) << damage;
        EXPECT_FALSE(fs::exists(hour_->dir / "damaged-page/index.html"));
    }
}

// check: a sound catalog is said sound; one whose index no longer matches
// its table is found out by the full check, which says what is wrong.
TEST_F(CatalogOfAnHour, CheckSaysWhatIsWrong) {
    const std::string db = hour_->dir / "c.sqlite";
    const auto sound = hour_->catalog({"check"});
    EXPECT_EQ(sound.exit_status, 0) << sound.err;
    EXPECT_EQ(sound.out, "catalog " + db + " is sound\n");
    // An index entry of the lost images removed behind SQLite's back.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = "
                                "'CREATE INDEX images_lost ON images(kite, time) WHERE status != 0 AND status != 2' "
                                "WHERE name = 'images_lost'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    const auto damaged = hour_->catalog({"check"});
    EXPECT_EQ(damaged.exit_status, 2);
    EXPECT_NE(damaged.out.find("images_lost"), std::string::npos) << damaged.out;
    EXPECT_NE(damaged.err.find("catalog " + db + " is damaged or not a catalog (problems found by the integrity check"),
              std::string::npos)
        << damaged.err;
}

// Two first ingests into one new file at the same moment: the second waits
// for the first's write lock, then finds the tables made; both reports kept.
TEST_F(CatalogOfAnHour, TwoFirstIngestsBothKept) {
    const std::string other = edited_report(*report_, "/kite", 17, hour_->dir / "kite17.json");
    for (int round = 0; round < 20; ++round) {
        const std::string db = hour_->dir / "race.sqlite";
        for (const char* suffix : {"", "-wal", "-shm", "-verified"}) fs::remove(db + suffix);
        test_support::ProgramResult first, second;
        std::thread a([&] { first = hour_->catalog({"ingest", *report_}, db); });
        std::thread b([&] { second = hour_->catalog({"ingest", other}, db); });
        a.join();
        b.join();
        EXPECT_EQ(first.exit_status, 0) << "round " << round << ": " << first.err;
        EXPECT_EQ(second.exit_status, 0) << "round " << round << ": " << second.err;
        tavo_catalog::Catalog catalog;
        std::string error;
        ASSERT_TRUE(catalog.open(db, false, error)) << error;
        tavo_catalog::Statement runs(catalog, "SELECT count(DISTINCT kite) FROM runs");
        ASSERT_TRUE(runs.step());
        EXPECT_EQ(runs.integer(0), 2) << "round " << round;
    }
}

// A reader who cannot write the catalog's directory (another user; without
// root, a directory without write permission) reads it all the same.
TEST_F(CatalogOfAnHour, ReadWhereTheCallerCannotWrite) {
    const std::string expected = hour_->catalog({"summary", "--from", kDay, "--to", kDay}).out;
    char shared_template[] = "/tmp/tavo-catalog-readonly-XXXXXX";
    ASSERT_NE(mkdtemp(shared_template), nullptr);
    const std::string shared = shared_template, db = shared + "/c.sqlite";
    fs::copy_file(hour_->dir / "c.sqlite", db);
    const bool root = geteuid() == 0;
    fs::permissions(shared, root ? fs::perms(0755) : fs::perms(0555));
    std::vector<std::string> argv = {TAVO_CATALOG_BINARY, "--db", db, "summary", "--from", kDay, "--to", kDay};
    if (root) argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    const auto result = run_program(argv);
    fs::permissions(shared, fs::perms(0755));
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, expected);
    fs::remove_all(shared);
}

// An audit that did not look at the products keeps the size and despike
// count an earlier audit found; reprocess commands quote their words.
TEST_F(CatalogOfAnHour, NoProductsAuditKeepsProductFacts) {
    const json before = hour_->query({"products"});
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(before[0]["bytes"].is_null());
    hour_->program(TAVO_L0AUDIT_BINARY, {"--quiet", "--no-products", "--report", hour_->dir / "no-products.json"});
    const auto ingest = hour_->catalog({"ingest", hour_->dir / "no-products.json"});
    ASSERT_EQ(ingest.exit_status, 0) << ingest.err;
    ASSERT_NE(ingest.out.find("superseded"), std::string::npos) << ingest.out;
    EXPECT_EQ(hour_->query({"products"}), before);
}

TEST_F(CatalogOfAnHour, ReprocessCommandsAreShellQuoted) {
    for (const std::string config : {"plain.cfg", "my config's $HOME `x`.cfg"}) {
        const auto reprocess = hour_->catalog({"reprocess", "--made-before", "9.0", "--config", config, "--json"});
        ASSERT_EQ(reprocess.exit_status, 0) << reprocess.err;
        const json windows = json::parse(reprocess.out);
        ASSERT_EQ(windows.size(), 1u);
        // The shell reads the command's words back as they were given.
        const std::string command = windows[0]["command"];
        const auto words = run_program({"/bin/sh", "-c", "set -- " + command + "; printf '%s\\n' \"$@\""});
        ASSERT_EQ(words.exit_status, 0) << command;
        const std::vector<std::string> lines = test_support::split_lines(words.out);
        const auto at = std::find(lines.begin(), lines.end(), "--config");
        ASSERT_NE(at, lines.end()) << words.out;
        EXPECT_EQ(*(at + 1), config) << command;
    }
}

}  // namespace
