// tavo_l0audit on simulated level-0 data: the statuses and reasons agree
// with the simulator's manifest for every fault mode, a run followed by an
// audit accounts for every image, damaged products are named, and the exit
// statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "audit.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
using test_support::run_program;
using test_support::TempDir;
namespace fs = std::filesystem;

// The run parameters of a window over the simulated half hour.
std::vector<std::string> run_parameters(const TempDir& dir, const std::string& end = "2017/03/01t12:29:59",
                                        const std::string& despike = "YES") {
    fs::create_directories(dir / "work");
    fs::create_directories(dir / "out");
    return {"INPUT_TYPE=HDF",         "INPUT_ROOT_DIRECTORY=" + (dir / "l0"), "INPUT_SUBDIRECTORY=FLAT",
            "WORKING_DIRECTORY=" + (dir / "work"), "H5DUMP_EXE=/usr/bin/h5dump",
            "OUTPUT_ROOT_DIRECTORY=" + (dir / "out"), "DESPIKE=" + despike, "ISP_CSV=YES", "KITE=16",
            "START=2017/03/01t12:00:00", "END=" + end, "CONFIG=/dev/null"};
}

json simulate(const TempDir& dir, std::vector<std::string> extra) {
    std::vector<std::string> argv = {TAVO_L0SIM_BINARY, "--size", "64", "--duration", "30min", "--seed", "5",
                                     "--out", dir / "l0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto sim = run_program(argv);
    EXPECT_EQ(sim.exit_status, 0) << sim.err;
    return json::parse(test_support::read_file(dir / "l0/manifest.json"));
}

// "2017-03-01T12:00:02.345" of a manifest image.
std::string manifest_time(const json& image) { return image["end_of_frame"]["calendar"].get<std::string>().substr(0, 23); }

// The ids of the report's absent ranges.
std::set<uint32_t> absent_ids(const json& report) {
    std::set<uint32_t> ids;
    for (const json& range : report["absent_ranges"])
        for (uint32_t id = range["first_id"]; id <= range["last_id"].get<uint32_t>(); ++id) ids.insert(id);
    return ids;
}

// Every image the level-0 lacks between two images that reached it is
// listed absent; so may be those behind a packet the scan cannot pass.
void expect_absent_agreement(const json& manifest, const json& report) {
    std::set<uint32_t> reported, lacking, unreadable;
    for (const json& image : report["images"]) reported.insert(image["image_id"].get<uint32_t>());
    int first_seen = -1, last_seen = -1;
    for (const json& image : manifest["images"]) {
        if (image["in_level0"].get<bool>()) {
            if (first_seen < 0) first_seen = image["ordinal"];
            last_seen = image["ordinal"];
        }
    }
    for (const json& image : manifest["images"]) {
        const int ordinal = image["ordinal"];
        const auto id = image["id"].get<uint32_t>();
        if (!image["in_level0"].get<bool>() && ordinal > first_seen && ordinal < last_seen) lacking.insert(id);
        if (image["expected"]["reason"] == "run_stopped" && reported.count(id) == 0) unreadable.insert(id);
    }
    const std::set<uint32_t> absent = absent_ids(report);
    for (uint32_t id : absent) EXPECT_TRUE(lacking.count(id) + unreadable.count(id) == 1) << "absent id " << id;
    for (uint32_t id : lacking) EXPECT_TRUE(absent.count(id) == 1) << "id " << id << " not listed absent";
    EXPECT_EQ(report["summary"]["absent"], absent.size());
}

// Compares the audit's images with the manifest's expected outcomes.
void expect_agreement(const json& manifest, const json& report) {
    expect_absent_agreement(manifest, report);
    std::map<std::pair<uint32_t, std::string>, json> audited;
    for (const json& image : report["images"]) {
        const std::string time = image["time"].is_null() ? "" : image["time"].get<std::string>();
        audited[{image["image_id"].get<uint32_t>(), time}] = image;
    }
    size_t matched = 0;
    for (const json& image : manifest["images"]) {
        const json& expected = image["expected"];
        const uint32_t id = image["id"];
        auto found = audited.find({id, manifest_time(image)});
        if (found == audited.end()) found = audited.find({id, ""});
        if (!image["in_level0"].get<bool>() || found == audited.end()) {
            // Absent from the level-0, or behind a packet the scan cannot pass.
            EXPECT_TRUE(!image["in_level0"].get<bool>() || expected["reason"] == "run_stopped") << "image " << id;
            continue;
        }
        ++matched;
        const json& got = found->second;
        if (expected.value("or_run_stopped", false) && got["reason"] == "run_stopped") continue;
        EXPECT_EQ(got["status"], expected["status"]) << "image " << id << " " << got.dump();
        EXPECT_EQ(got["reason"], expected["reason"]) << "image " << id << " " << got.dump();
        const int pixels = image["nx"].get<int>() * image["ny"].get<int>();
        if (got["status"] == "written") {
            EXPECT_EQ(got["pixels_carried"], pixels) << "image " << id;
            EXPECT_EQ(got["sel_count"], image["sel_count"]) << "image " << id;
        }
        if (got["status"] == "written_partial") {
            EXPECT_LT(got["pixels_carried"].get<int>(), pixels);
        }
    }
    EXPECT_EQ(matched, report["images"].size());
}

// The audit of the window up to end, without the product checks; result
// holds what it found.
json audit_in_process(const TempDir& dir, tavo_audit::AuditResult& result,
                      const std::string& end = "2017/03/01t12:29:59") {
    tavo_audit::AuditOptions options;
    options.parameters = run_parameters(dir, end);
    options.report_path = dir / "report.json";
    options.check_products = false;
    options.quiet = true;
    std::string error;
    EXPECT_TRUE(tavo_audit::run_audit(options, result, error)) << error;
    return json::parse(test_support::read_file(dir / "report.json"));
}

json audit_in_process(const TempDir& dir) {
    tavo_audit::AuditResult result;
    return audit_in_process(dir, result);
}

struct FaultCase {
    const char* name;
    std::vector<std::string> faults;
    int exit_status;
};

class FaultModes : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultModes, StatusesAndReasonsAgreeWithTheManifest) {
    TempDir dir("audit");
    std::vector<std::string> extra;
    for (const std::string& fault : GetParam().faults) extra.insert(extra.end(), {"--fault", fault});
    if (std::string(GetParam().name) == "spread") extra.insert(extra.end(), {"--duration", "3min", "--file-span", "1s"});
    const json manifest = simulate(dir, extra);
    const json report = audit_in_process(dir);
    EXPECT_EQ(report["exit_status"], GetParam().exit_status);
    expect_agreement(manifest, report);
}

INSTANTIATE_TEST_SUITE_P(
    Simulated, FaultModes,
    testing::Values(FaultCase{"none", {}, 0}, FaultCase{"duplicate", {"duplicate@71"}, 0},
                    FaultCase{"missing_final", {"missing-final@80"}, 1}, FaultCase{"truncate", {"truncate@80"}, 1},
                    FaultCase{"bad_length", {"bad-length@120"}, 1}, FaultCase{"id_repeat", {"id-repeat@80"}, 1},
                    FaultCase{"foreign_apid", {"foreign-apid@80"}, 0}, FaultCase{"alias_apid", {"alias-apid@80"}, 0},
                    FaultCase{"bad_header_bits", {"bad-header-bits@80"}, 1},
                    FaultCase{"bad_index", {"bad-index@80"}, 0}, FaultCase{"sel_bits", {"sel-bits@80"}, 0},
                    FaultCase{"bit15", {"bit15@80"}, 0}, FaultCase{"gap", {"gap@80"}, 1},
                    FaultCase{"spread", {}, 1},
                    FaultCase{"three_together", {"missing-final@30", "truncate@100", "id-repeat@150"}, 1},
                    FaultCase{"gap_and_duplicates", {"gap@40", "duplicate@107", "bad-header-bits@130"}, 1}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Per file: the reason a level-0 file is not selected, duplicates, skipped
// packets, sequence gaps, bytes left over and a run-ending length.
TEST(FileAccounting, EveryFileSelectedOrWhyNot) {
    TempDir dir("audit");
    const json manifest = simulate(dir, {"--fault", "duplicate@35", "--fault", "foreign-apid@80", "--fault",
                                         "bad-header-bits@90", "--fault", "truncate@120"});
    const std::string first = dir / ("l0/" + manifest["files"][0]["path"].get<std::string>());
    const std::map<std::string, std::string> strays = {
        {"OR_TAVO-L0_K17_s20170601200000_e20170601205599_c20170601207000.nc", "satellite"},
        {"OR_TAVO-L0_K16_s20170601200000_e20170601205599_c20170601207000.h5", "name_pattern"},
        {"OR_TAVO-L0_K16_s20170601200000_e20170601205599_c20170601207000_copy.nc", "name_too_long"},
        {"OR_TAVO-L0_K16_s20170601300000_e20170601305599_c20170601307000.nc", "outside_window"}};
    for (const auto& [name, reason] : strays) fs::copy_file(first, dir / ("l0/" + name));
    test_support::write_file(dir / "l0/notes.txt", "not a level-0 file\n");

    const json report = audit_in_process(dir);
    std::map<std::string, json> files;
    for (const json& file : report["files"]) files[file["entry"]] = file;
    EXPECT_EQ(files.size(), manifest["files"].size() + strays.size());
    for (const auto& [name, reason] : strays) EXPECT_EQ(files[name]["reason"], reason) << name;
    auto file = [&](int index) { return files[manifest["files"][index]["path"].get<std::string>()]; };
    for (int index = 0; index < 5; ++index) {
        EXPECT_EQ(file(index)["bytes"], manifest["files"][index]["stream_bytes"]);
        // The cut packet of file 3 counts as bytes left over.
        EXPECT_EQ(file(index)["packets"], manifest["files"][index]["packets"].get<int>() - (index == 3 ? 1 : 0));
    }
    EXPECT_EQ(file(1)["duplicates_from_previous"], 5);
    EXPECT_EQ(file(1)["duplicates_within"], 0);
    for (const json& image : report["images"]) {  // repeated packets are not counted twice
        if (image["image_id"] != manifest["images"][35]["id"]) continue;
        EXPECT_EQ(image["packets"], json({{"header", 1}, {"pixel", 1}, {"final", 1}, {"other", 0}}));
        EXPECT_EQ(image["files"].size(), 1u);
    }
    EXPECT_EQ(file(2)["skipped"], json({{"apid_not_accepted", 3}, {"header_bits", 1}}));
    EXPECT_GT(file(3)["leftover_bytes"], 0);
    EXPECT_TRUE(file(0)["sequence_gaps"].empty());
    EXPECT_TRUE(file(1)["sequence_gaps"].empty());
    ASSERT_EQ(file(2)["sequence_gaps"].size(), 1u);  // the skipped packet is not among the records
    EXPECT_EQ(file(2)["sequence_gaps"][0]["missing"], 1);
    EXPECT_FALSE(file(4)["sequence_gaps"].empty());  // the packets after the cut never came

    TempDir stopped("audit");
    simulate(stopped, {"--fault", "bad-length@120"});
    const json stop = audit_in_process(stopped);
    EXPECT_TRUE(stop["run"]["stopped"]);
    EXPECT_NE(stop["run"]["message"].get<std::string>().find("ERROR - Bad packet length of 65535"),
              std::string::npos);
    EXPECT_EQ(stop["files"][3]["bad_length"]["length_field"], 65535);
    EXPECT_EQ(stop["files"][3]["skipped"]["bad_length"], 1);
}

// The hour of the issue: a lost final packet, a file cut after image 150
// and an image with its predecessor's id. The cut loses 29 images whole.
TEST(AbsentImages, InferredFromTheIdsAndConfirmedBySequenceGaps) {
    TempDir dir("audit");
    const json manifest =
        simulate(dir, {"--duration", "1h", "--fault", "missing-final@17", "--fault", "truncate@150", "--fault",
                       "id-repeat@230"});
    tavo_audit::AuditResult result;
    const json report = audit_in_process(dir, result, "2017/03/01t12:59:59");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(report["schema_version"], 2);
    expect_agreement(manifest, report);
    ASSERT_EQ(report["absent_ranges"].size(), 1u);
    const json range = report["absent_ranges"][0];
    EXPECT_EQ(range["first_id"], 152);
    EXPECT_EQ(range["last_id"], 180);
    EXPECT_EQ(range["after"]["time"], manifest_time(manifest["images"][150]));
    EXPECT_EQ(range["before"]["time"], manifest_time(manifest["images"][180]));
    std::set<int> apids;  // every identifier of the lost images shows the hole
    for (const json& gap : range["sequence_gaps"]) apids.insert(gap["apid"].get<int>());
    EXPECT_EQ(apids, std::set<int>({802, 810, 811, 812, 813, 814, 815}));
    // The repeated id is said to break the sequence, not to hide an absence.
    ASSERT_EQ(report["id_sequence_breaks"].size(), 2u);
    EXPECT_EQ(report["id_sequence_breaks"][0]["kind"], "repeat");
    EXPECT_EQ(report["id_sequence_breaks"][1]["kind"], "jump");
    EXPECT_EQ(report["summary"]["completeness_by_hour"]["2017-03-01T12"],
              json({{"products", 328}, {"images", 360}, {"absent", 29}}));
    EXPECT_EQ(report["summary"]["losses"],
              json({{"run", {{"images", 1}, {"by_reason", {{"id_not_above_last", 1}}}}},
                    {"telemetry", {{"images", 31}, {"by_reason", {{"absent", 29}, {"final_packet_missing", 2}}}}}}));
    const std::string summary = tavo_audit::format_summary(result);
    EXPECT_NE(summary.find("absent: ids 152 to 180"), std::string::npos) << summary;
    EXPECT_NE(summary.find("328 / 360  (91.1%), 29 absent"), std::string::npos) << summary;
}

// Which losses a reprocessing mends and which only a re-sent downlink does.
TEST(Losses, ByOrigin) {
    using tavo_audit::ImageStatus;
    struct Case {
        ImageStatus status;
        std::optional<ImageReason> reason;
        bool problems;
        LossOrigin origin;
    };
    const Case cases[] = {
        {ImageStatus::kWritten, std::nullopt, false, LossOrigin::kNone},
        {ImageStatus::kWritten, std::nullopt, true, LossOrigin::kRun},
        {ImageStatus::kWrittenPartial, std::nullopt, false, LossOrigin::kTelemetry},
        {ImageStatus::kNotWritten, ImageReason::kOutsideWindow, false, LossOrigin::kNone},
        {ImageStatus::kNotWritten, ImageReason::kFinalPacketMissing, false, LossOrigin::kTelemetry},
        {ImageStatus::kNotWritten, ImageReason::kHeaderPacketMissing, false, LossOrigin::kTelemetry},
        {ImageStatus::kNotWritten, ImageReason::kHeaderTooShort, false, LossOrigin::kTelemetry},
        {ImageStatus::kNotWritten, ImageReason::kImageTimeInvalid, false, LossOrigin::kTelemetry},
        {ImageStatus::kNotWritten, ImageReason::kIdNotAbove, false, LossOrigin::kRun},
        {ImageStatus::kNotWritten, ImageReason::kTimeNotLater, false, LossOrigin::kRun},
        {ImageStatus::kNotWritten, ImageReason::kHeldBack, false, LossOrigin::kRun},
        {ImageStatus::kNotWritten, ImageReason::kSpreadOverFiles, false, LossOrigin::kRun},
        {ImageStatus::kNotWritten, ImageReason::kRunStopped, false, LossOrigin::kRun},
    };
    for (const Case& c : cases) {
        tavo_audit::ImageAudit image;
        image.status = c.status;
        image.reason = c.reason;
        if (c.problems) image.problems.push_back("missing");
        EXPECT_EQ(tavo_audit::loss_origin(image), c.origin) << (c.reason ? image_reason_code(*c.reason) : "none");
    }
}

// Ids that start again from 1 half way: a reset, with no absence invented.
TEST(AbsentImages, NoneInventedAtAnIdReset) {
    TempDir dir("audit");
    simulate(dir, {"--duration", "15min"});
    const auto second = run_program({TAVO_L0SIM_BINARY, "--size", "64", "--duration", "15min", "--seed", "5",
                                     "--start", "2017-03-01T12:15:00", "--first-id", "1", "--out", dir / "l0",
                                     "--manifest", dir / "second.json"});
    ASSERT_EQ(second.exit_status, 0) << second.err;
    const json report = audit_in_process(dir);
    EXPECT_TRUE(report["absent_ranges"].empty());
    ASSERT_EQ(report["id_sequence_breaks"].size(), 1u);
    EXPECT_EQ(report["id_sequence_breaks"][0]["kind"], "reset");
    EXPECT_EQ(report["id_sequence_breaks"][0]["next"]["image_id"], 1);
}

// The packet variable as NetCDF-C reads it, in one piece or in two halves,
// is byte for byte the dump utility's output with "-b BE".
TEST(Level0Stream, EqualsTheDumpUtilitysBytes) {
    TempDir dir("audit");
    simulate(dir, {"--duration", "7min", "--size", "512", "--fault", "truncate@38"});
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir / "l0")) {
        if (entry.path().extension() != ".nc") continue;
        const std::string dumped = dir / "dumped.bin";
        const auto dump = run_program({"/usr/bin/h5dump", "-o", dumped, "-d", "tavo_space_packet_data", "-b", "BE",
                                       entry.path().string()});
        ASSERT_EQ(dump.exit_status, 0) << dump.err;
        tavo_audit::PacketBuffer bytes;
        std::string error;
        ASSERT_EQ(tavo_audit::read_packet_stream(entry.path().string(), bytes, error), tavo_audit::ReadOutcome::kWhole)
            << error;
        EXPECT_EQ(std::string(bytes.data(), bytes.data() + bytes.size()), test_support::read_file(dumped))
            << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 2);
    tavo_audit::PacketBuffer bytes;
    std::string error;
    EXPECT_EQ(tavo_audit::read_packet_stream(dir / "l0/manifest.json", bytes, error),
              tavo_audit::ReadOutcome::kDamaged);
    EXPECT_EQ(bytes.size(), 0u);  // as the dump utilities leave an empty stream
    EXPECT_NE(error.find("manifest.json"), std::string::npos);
}

// A level-0 file with a damaged compressed chunk: TAVO_L0 with tavo_l0dump
// goes on with the whole chunks before the damage and warns; the audit reads
// the same bytes, names the file and accounts for the images lost.
TEST(DamagedLevel0, RunGoesOnAndTheAuditNamesTheFile) {
    TempDir dir("audit-damaged");
    const json manifest = simulate(dir, {"--duration", "3min", "--size", "512", "--file-span", "1min", "--cadence", "10s"});
    const std::string damaged = manifest["files"][1]["path"];
    // The middle of the file's second chunk overwritten with zeros.
    const auto damage = run_program(
        {"/usr/bin/python3", "-c",
         "import h5py, sys\n"
         "with h5py.File(sys.argv[1], 'r') as f: c = f['tavo_space_packet_data'].id.get_chunk_info(1)\n"
         "with open(sys.argv[1], 'r+b') as f: f.seek(c.byte_offset + c.size // 2); f.write(bytes(64))\n",
         dir / ("l0/" + damaged)});
    ASSERT_EQ(damage.exit_status, 0) << damage.err;
    std::vector<std::string> parameters = run_parameters(dir, "2017/03/01t12:02:59");
    for (std::string& p : parameters) {
        if (p.rfind("H5DUMP_EXE=", 0) == 0) p = std::string("H5DUMP_EXE=") + TAVO_L0DUMP_BINARY;
    }
    std::vector<std::string> run = {TAVO_L0_BINARY};
    run.insert(run.end(), parameters.begin(), parameters.end());
    const auto processed = run_program(run, dir.path());
    ASSERT_EQ(processed.exit_status, 0) << processed.out;
    EXPECT_NE(processed.out.find(std::string("DUMP WARNING - ") + TAVO_L0DUMP_BINARY + " exited with status 1 on input file " +
                                 (dir / "l0/") + damaged + "; 1048576 bytes of packets used"),
              std::string::npos)
        << processed.out;

    std::vector<std::string> audit = {TAVO_L0AUDIT_BINARY, "--report", dir / "report.json"};
    audit.insert(audit.end(), parameters.begin(), parameters.end());
    const auto audited = run_program(audit);
    EXPECT_EQ(audited.exit_status, 1) << audited.out << audited.err;
    EXPECT_NE(audited.out.find("Damaged level-0 file " + damaged + ": 1048576 bytes of packets read"),
              std::string::npos)
        << audited.out;
    const json report = json::parse(test_support::read_file(dir / "report.json"));
    int products = 0, written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "out")) products += entry.path().extension() == ".fits";
    for (const json& image : report["images"]) written += image["status"] != "not_written";
    EXPECT_EQ(written, products);
    EXPECT_LT(products, static_cast<int>(manifest["images"].size()));
    for (const json& file : report["files"]) {
        if (file["entry"] != damaged) continue;
        EXPECT_EQ(file["bytes"], 1048576);
        EXPECT_NE(file["read_error"].get<std::string>().find("is damaged"), std::string::npos) << file;
    }
}

// One real run, then audits of its products as they are and damaged.
class RunThenAudit : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir("audit");
        manifest_ = new json(simulate(*dir_, {"--duration", "20min", "--fault", "missing-final@30", "--fault",
                                              "bad-header-bits@60"}));
        std::vector<std::string> argv = {TAVO_L0_BINARY};
        for (const std::string& p : run_parameters(*dir_, "2017/03/01t12:19:59")) argv.push_back(p);
        const auto run = run_program(argv);
        ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    }
    static void TearDownTestSuite() {
        delete manifest_;
        delete dir_;
    }
    static test_support::ProgramResult audit() {
        std::vector<std::string> argv = {TAVO_L0AUDIT_BINARY, "--report", *dir_ / "report.json"};
        for (const std::string& p : run_parameters(*dir_, "2017/03/01t12:19:59")) argv.push_back(p);
        return run_program(argv);
    }
    static json report() { return json::parse(test_support::read_file(*dir_ / "report.json")); }
    // The path of the index-th product (relative to the output root).
    static std::string product(size_t index) {
        std::vector<std::string> products;
        const json audited = report();
        for (const json& image : audited["images"])
            if (!image["product"].is_null()) products.push_back(image["product"]);
        return products.at(index);
    }
    static TempDir* dir_;
    static json* manifest_;
};
TempDir* RunThenAudit::dir_ = nullptr;
json* RunThenAudit::manifest_ = nullptr;

TEST_F(RunThenAudit, AccountsForEveryImageOfTheManifest) {
    const auto result = audit();
    ASSERT_EQ(result.exit_status, 1) << result.out << result.err;  // one image lost, one partial
    expect_agreement(*manifest_, report());
    const json summary = report()["summary"];
    EXPECT_EQ(summary["images"], 120);
    EXPECT_EQ(summary["written_partial"], 1);
    EXPECT_EQ(summary["by_reason"], json({{"final_packet_missing", 1}}));
    EXPECT_EQ(report()["products"]["checked"], 119);
    EXPECT_NE(result.out.find("final_packet_missing: 1"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Lost in the telemetry (only a re-sent downlink can mend them): 2"), std::string::npos);
    EXPECT_TRUE(test_support::file_exists(*dir_ / "report.csv"));
    // What a catalog needs of each product, read from the file itself.
    const json audited = report();
    for (const json& image : audited["images"]) {
        if (image["product"].is_null()) continue;
        EXPECT_EQ(image["product_bytes"], fs::file_size(*dir_ / ("out/" + image["product"].get<std::string>())));
        EXPECT_GE(image["despiked"].get<int>(), 0);
        EXPECT_EQ(image["product_modified"].get<std::string>().size(), 20u);
    }
    for (const json& file : audited["files"]) {
        EXPECT_EQ(file["size"], fs::file_size(*dir_ / ("l0/" + file["entry"].get<std::string>())));
        EXPECT_EQ(file["checksum"].get<std::string>().size(), 16u);
        EXPECT_EQ(file["modified"].get<std::string>().size(), 20u);
    }
}

TEST_F(RunThenAudit, TerminalSeesTheRunsProgressLine) {
    std::vector<std::string> argv = {TAVO_L0AUDIT_BINARY, "--quiet", "--report", *dir_ / "terminal.json"};
    for (const std::string& p : run_parameters(*dir_, "2017/03/01t12:19:59")) argv.push_back(p);
    const auto result = test_support::run_program_with_terminal_stderr(argv);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("File pair 3 of 3, 119 images written"), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty());
}

TEST_F(RunThenAudit, DamagedProductsAreNamed) {
    // The products are named from a report of the sound tree: each test runs
    // in a process of its own under ctest.
    ASSERT_EQ(audit().exit_status, 1);
    const std::string out = *dir_ / "out/";
    // Truncated, DESPIKE cards blank, missing from the day's CSV table, a
    // stray product and a leftover temporary file.
    const std::string truncated = product(3), blank = product(5), unlisted = product(7);
    fs::resize_file(out + truncated, fs::file_size(out + truncated) - 2880);
    std::string text = test_support::read_file(out + blank);
    const size_t card = text.find("HIERARCH DESPIKE_PARAMS = ");
    ASSERT_NE(card, std::string::npos);
    text.replace(card, 80, std::string("HIERARCH DESPIKE_PARAMS = 'Despike not yet run'").append(33, ' '));
    test_support::write_file(out + blank, text);
    const std::string csv_path = out + "KITE-16/isp/2017/03/20170301.csv";
    std::string csv = test_support::read_file(csv_path);
    const std::string name = fs::path(unlisted).filename().string();
    const size_t row = csv.find(name);
    ASSERT_NE(row, std::string::npos);
    csv.erase(row, csv.find('\n', row) - row + 1);
    test_support::write_file(csv_path, csv);
    const std::string hour = fs::path(out + truncated).parent_path().string() + "/";
    fs::copy_file(out + product(9), hour + "20170301_120001_500_99999999.fits");
    test_support::write_file(hour + "20170301_120000_600_99999998.write-tmp", "");

    const auto result = audit();
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    const json products = report()["products"];
    std::map<std::string, std::string> problems;
    for (const json& p : products["problems"]) problems[p["product"]] = p["problem"];
    EXPECT_EQ(problems.size(), 3u) << products.dump();
    EXPECT_NE(problems[truncated].find("size"), std::string::npos) << problems[truncated];
    EXPECT_NE(problems[blank].find("DESPIKE cards not filled in"), std::string::npos);
    EXPECT_EQ(problems[unlisted], "not in the day's CSV table");
    EXPECT_EQ(products["unmatched"].size(), 1u);
    EXPECT_EQ(products["temporary_files"].size(), 1u);
    EXPECT_NE(result.out.find(truncated), std::string::npos);
}

// A link planted at the report's name, aimed at a file outside the tree,
// is refused, never written through.
TEST_F(RunThenAudit, ALinkAtTheReportsNameIsRefused) {
    fs::create_directories(*dir_ / "linked");
    test_support::write_file(*dir_ / "victim", "victim\n");
    fs::create_symlink(*dir_ / "victim", *dir_ / "linked/report.json");
    std::vector<std::string> argv = {TAVO_L0AUDIT_BINARY, "--quiet", "--report", *dir_ / "linked/report.json"};
    for (const std::string& p : run_parameters(*dir_, "2017/03/01t12:19:59")) argv.push_back(p);
    const auto result = run_program(argv);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find("report.json is a symbolic link"), std::string::npos) << result.err;
    EXPECT_EQ(test_support::read_file(*dir_ / "victim"), "victim\n");
    EXPECT_EQ(test_support::list_dir(*dir_ / "linked"), std::vector<std::string>{"report.json"});
}

struct BadConfiguration {
    const char* override_text;
    const char* message;
};

class AuditCannotRun : public testing::TestWithParam<BadConfiguration> {};

TEST_P(AuditCannotRun, ExitsTwoWithTheRunsMessage) {
    TempDir dir("audit");
    fs::create_directories(dir / "l0");
    std::vector<std::string> argv = {TAVO_L0AUDIT_BINARY};
    const std::string override_text = GetParam().override_text;
    const std::string name = override_text.substr(0, override_text.find('=') + 1);
    for (const std::string& p : run_parameters(dir))
        if (p.compare(0, name.size(), name) != 0) argv.push_back(p);
    argv.push_back(override_text);
    const auto result = run_program(argv);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
    EXPECT_TRUE(test_support::list_dir(dir / "out").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, AuditCannotRun,
    testing::Values(BadConfiguration{"KITE=20", "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 20"},
                    BadConfiguration{"BOGUS=1", "ERROR - unrecognized parameter: BOGUS"},
                    BadConfiguration{"INPUT_TYPE=APID", "nothing to audit"},
                    BadConfiguration{"START=2017/03/01t12:00:00x", "ERROR - bad START format"},
                    BadConfiguration{"END=2017/03/01t12:59:59", "ERROR - no input files found"}));

}  // namespace
