// process_input_file on level-0 files of the simulator, dumped by the real
// HDF5 dump utility, walked in pairs as the run driver does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "base/base.h"
#include "input/input.h"
#include "packets/packet_streams.h"
#include "packets/packets.h"
#include "support/run_window.h"

using namespace packet_streams;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDumpUtility = "/usr/bin/h5dump";

class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        input_dir = base / "in";
        work_dir = base / "work";
        out_dir = base / "out";
        test_support::make_dirs(work_dir);
        test_support::make_dirs(out_dir);
        record_images();
    }
    void TearDown() override { release_packet_table(); }

    // 40 images of 128 x 128 every 9 s from 12:00:00 in six one-minute files
    // (two images straddle a file boundary), plus any extra options.
    void simulate(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {TAVO_L0SIM_BINARY, "--out", input_dir, "--size", "128", "--duration", "6min",
                                         "--cadence", "9s", "--file-span", "1min", "--seed", "3"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const test_support::ProgramResult result = test_support::run_program(argv);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        manifest = json::parse(test_support::read_file(input_dir + "/manifest.json"));
    }

    void configure(bool hierarchical, uint32_t start_date, uint32_t start_time, uint32_t end_date, uint32_t end_time,
                   const std::string& dump = kDumpUtility) {
        test_support::set_unix_run(input_dir + "/", hierarchical, {start_date, start_time, end_date, end_time});
        test_support::set_parameter_text(PARAM_WORKING_DIRECTORY, work_dir + "/");
        test_support::set_parameter_text(PARAM_OUTPUT_ROOT_DIRECTORY, out_dir + "/");
        test_support::set_parameter_text(PARAM_H5DUMP_EXE, dump);
    }

    // The driver's walk: select, allocate, then every pair.
    bool walk() {
        if (find_input_files(message) == 0 || !allocate_packet_table(message)) return false;
        bool ok = true;
        if (input_file_count == 1) {
            ok = process_input_file(message, true, 0, -1, recording_hooks);
        } else {
            for (int i = 0; ok && i < input_file_count - 1; ++i) {
                const bool last = i == input_file_count - 2;
                const FilePair next = last ? FilePair{} : FilePair{i + 1, i + 2};
                ok = process_input_file(message, last, i, i + 1, recording_hooks, next);
            }
        }
        clean_work_directory();
        return ok;
    }

    std::map<uint32_t, int> handed_counts() const {
        std::map<uint32_t, int> counts;
        for (const HandedImage& image : handed_images) ++counts[image.image_id];
        return counts;
    }

    // Every complete image of the window that is not exempt is handed over
    // once and as simulated; no image is handed over twice.
    void expect_images_as_simulated(uint32_t start_date, uint32_t start_time, uint32_t end_date, uint32_t end_time,
                                    const std::set<int>& exempt = {}) {
        std::map<uint32_t, const HandedImage*> by_id;
        for (const HandedImage& image : handed_images) {
            EXPECT_TRUE(by_id.emplace(image.image_id, &image).second) << "image " << image.image_id << " twice";
        }
        for (const json& m : manifest["images"]) {
            const int ordinal = m["ordinal"];
            if (exempt.count(ordinal) != 0) continue;
            const uint32_t date = m["end_of_frame"]["date"];
            const uint32_t time = m["end_of_frame"]["time"];
            const bool after_start = date > start_date || (date == start_date && time > start_time);
            const bool not_after_end = date < end_date || (date == end_date && time <= end_time);
            const auto it = by_id.find(m["id"].get<uint32_t>());
            if (!m["complete"].get<bool>() || !after_start || !not_after_end) {
                EXPECT_TRUE(it == by_id.end()) << "image ordinal " << ordinal << " should not be written";
                continue;
            }
            ASSERT_TRUE(it != by_id.end()) << "image ordinal " << ordinal << " not written";
            const HandedImage& image = *it->second;
            EXPECT_EQ(image.pixel_fnv, m["pixel_fnv1a64"].get<std::string>()) << ordinal;
            EXPECT_EQ(image.sel_count, m["sel_count"].get<uint32_t>()) << ordinal;
            EXPECT_EQ(image.date, date) << ordinal;
            EXPECT_EQ(image.time, time) << ordinal;
            EXPECT_EQ(image.ms, m["end_of_frame"]["ms"].get<int32_t>()) << ordinal;
            char hour[16];
            std::snprintf(hour, sizeof hour, "H%02u00", time / 10000);
            char tail[64];
            std::snprintf(tail, sizeof tail, "/KITE-16/%04u/%02u/%02u/%s/", date / 10000, date / 100 % 100, date % 100,
                          hour);
            EXPECT_EQ(image.product_dir, out_dir + tail) << ordinal;
        }
    }

    std::set<int> ordinals_sharing_files_with(int ordinal) const {
        std::set<std::string> files;
        for (const json& f : manifest["images"][ordinal]["files"]) files.insert(f.get<std::string>());
        std::set<int> out;
        for (const json& m : manifest["images"])
            for (const json& f : m["files"])
                if (files.count(f.get<std::string>()) != 0) out.insert(m["ordinal"].get<int>());
        return out;
    }

    test_support::TempDir base{"tavo-extract"};
    std::string input_dir, work_dir, out_dir;
    json manifest;
    char message[kRunMessageCapacity] = "";
};

TEST_F(Extraction, EveryImageOfTheWindowIsWrittenOnceIncludingThoseStraddlingTwoFiles) {
    simulate();
    int straddling = 0;
    for (const json& m : manifest["images"]) straddling += m["files"].size() > 1 ? 1 : 0;
    ASSERT_GT(straddling, 0);
    configure(false, 20170301, 120000, 20170301, 120600);
    ASSERT_TRUE(walk()) << message;
    EXPECT_EQ(handed_images.size(), manifest["images"].size());
    expect_images_as_simulated(20170301, 120000, 20170301, 120600);
    EXPECT_TRUE(test_support::list_dir(work_dir).empty());
}

TEST_F(Extraction, WindowInsideTheDataWritesOnlyItsImages) {
    simulate();
    configure(false, 20170301, 120130, 20170301, 120400);
    ASSERT_TRUE(walk()) << message;
    ASSERT_FALSE(handed_images.empty());
    expect_images_as_simulated(20170301, 120130, 20170301, 120400);
}

TEST_F(Extraction, DayDirectoriesAcrossMidnightInEitherForm) {
    for (const char* layout : {"ordinal", "calendar"}) {
        SCOPED_TRACE(layout);
        fs::remove_all(input_dir);
        record_images();
        simulate({"--start", "2017-03-01T23:57:00", "--layout", layout});
        configure(true, 20170301, 235700, 20170302, 400);
        ASSERT_TRUE(walk()) << message;
        EXPECT_EQ(handed_images.size(), manifest["images"].size());
        expect_images_as_simulated(20170301, 235700, 20170302, 400);
        EXPECT_TRUE(fs::is_directory(out_dir + "/KITE-16/2017/03/01/H2300"));
        EXPECT_TRUE(fs::is_directory(out_dir + "/KITE-16/2017/03/02/H0000"));
    }
}

TEST_F(Extraction, SingleFileIsProcessedAlone) {
    simulate({"--duration", "1min", "--file-span", "2min"});
    configure(false, 20170301, 120000, 20170301, 120600);
    ASSERT_TRUE(walk()) << message;
    ASSERT_EQ(input_file_count, 1);
    expect_images_as_simulated(20170301, 120000, 20170301, 120600);
}

struct FaultCase {
    const char* fault;
    bool exempt_fault_image;   // the spoiled image itself may differ or be missing
    bool exempt_its_files;     // so may the other images of its files
    bool fault_image_written;  // the spoiled image is (true) or is not (false) handed over
};

TEST_F(Extraction, FaultsOfTheDataCostOnlyTheirImages) {
    const FaultCase cases[] = {
        {"duplicate@8", false, false, true},      {"foreign-apid@8", false, false, true},
        {"alias-apid@8", false, false, true},     {"bad-index@8", false, false, true},
        {"sel-bits@8", false, false, true},       {"bit15@8", false, false, true},
        {"gap@8", true, false, false},            {"bad-header-bits@8", true, false, true},
        {"missing-final@8", true, true, false},   {"truncate@8", true, true, false},
        {"id-repeat@8", true, false, false},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.fault);
        fs::remove_all(input_dir);
        fs::remove_all(out_dir);
        test_support::make_dirs(out_dir);
        record_images();
        simulate({"--fault", c.fault});
        configure(false, 20170301, 120000, 20170301, 120600);
        ASSERT_TRUE(walk()) << message;
        std::set<int> exempt;
        if (c.exempt_fault_image) exempt.insert(8);
        if (c.exempt_its_files) exempt = ordinals_sharing_files_with(8);
        // A repeated id joins both images' packets into one group.
        if (std::string(c.fault) == "id-repeat@8") exempt.insert(7);
        expect_images_as_simulated(20170301, 120000, 20170301, 120600, exempt);
        const uint32_t id = manifest["images"][8]["id"];
        const std::map<uint32_t, int> counts = handed_counts();
        if (std::string(c.fault) == "id-repeat@8") {
            EXPECT_EQ(id, manifest["images"][7]["id"].get<uint32_t>());
            EXPECT_EQ(counts.at(id), 1);  // written once, under image 7's time
            for (const HandedImage& image : handed_images) {
                if (image.image_id == id) {
                    EXPECT_EQ(image.time, manifest["images"][7]["end_of_frame"]["time"].get<uint32_t>());
                }
            }
        } else if (std::string(c.fault) != "gap@8") {
            EXPECT_EQ(counts.count(id), c.fault_image_written ? 1u : 0u);
        }
    }
}

TEST_F(Extraction, ImpossiblePacketLengthEndsTheRunNamingTheFile) {
    simulate({"--fault", "bad-length@8"});
    configure(false, 20170301, 120000, 20170301, 120600);
    ASSERT_FALSE(walk());
    const std::string file = manifest["images"][8]["files"][0];
    const std::string expected_start = "ERROR - Bad packet length of 65535 at offset ";
    const std::string expected_end = " in extracted binary APIDs from " + input_dir + "/" + file + ", cannot continue";
    const std::string text = message;
    EXPECT_EQ(text.substr(0, expected_start.size()), expected_start);
    ASSERT_GE(text.size(), expected_end.size());
    EXPECT_EQ(text.substr(text.size() - expected_end.size()), expected_end);
    EXPECT_TRUE(test_support::list_dir(work_dir).empty());
}

TEST_F(Extraction, NamesWithShellCharactersAreUsedAsPlainNames) {
    const std::string odd = base / "in put; $(touch PWNED) `touch PWNED2` 'q' \"d\" & |";
    input_dir = odd;
    simulate({"--duration", "2min"});
    work_dir = base / "work dir;$(touch PWNED3)";
    test_support::make_dirs(work_dir);
    const std::string dump = base / "h5 dump $(touch PWNED4)";
    fs::create_symlink(kDumpUtility, dump);
    configure(false, 20170301, 120000, 20170301, 120600, dump);
    ASSERT_TRUE(walk()) << message;
    expect_images_as_simulated(20170301, 120000, 20170301, 120600);
    EXPECT_FALSE(handed_images.empty());
    for (const char* name : {"PWNED", "PWNED2", "PWNED3", "PWNED4"}) {
        EXPECT_FALSE(test_support::file_exists(base / name)) << name;
        EXPECT_FALSE(test_support::file_exists(name)) << name;
    }
}

TEST_F(Extraction, StreamsAndUtilityOutputLandInTheWorkingDirectory) {
    simulate({"--duration", "2min"});
    configure(false, 20170301, 120000, 20170301, 120600);
    ASSERT_GT(find_input_files(message), 1);
    ASSERT_TRUE(allocate_packet_table(message));
    test_support::write_file(work_dir + "/left over", "x");
    ASSERT_TRUE(process_input_file(message, true, 0, 1, recording_hooks)) << message;
    EXPECT_EQ(test_support::list_dir(work_dir), (std::vector<std::string>{"f1.bin", "f2.bin", "junk"}));
    EXPECT_NE(test_support::read_file(work_dir + "/junk").find("tavo_space_packet_data"), std::string::npos);
    EXPECT_FALSE(handed_images.empty());
}

TEST_F(Extraction, FailedDumpIsReportedWithTheUtilityAndTheFile) {
    simulate({"--duration", "2min"});
    configure(false, 20170301, 120000, 20170301, 120600, "/bin/false");
    ASSERT_GT(find_input_files(message), 1);
    ASSERT_TRUE(allocate_packet_table(message));
    const std::string first = input_file_list[0];
    ASSERT_FALSE(process_input_file(message, true, 0, 1, recording_hooks));
    EXPECT_EQ(std::string(message), "ERROR - failed to run /bin/false on input file " + input_dir + "/" + first);

    // A utility that cannot be started at all.
    configure(false, 20170301, 120000, 20170301, 120600, base / "no such tool");
    ASSERT_GT(find_input_files(message), 1);
    ASSERT_FALSE(process_input_file(message, true, 0, -1, recording_hooks));
    EXPECT_EQ(std::string(message), "ERROR - failed to run " + (base / "no such tool") + " on input file " +
                                        input_dir + "/" + first);
}

// A utility that fails but leaves a stream (a damaged file) has its stream
// taken as it stands, with one warning a dump, and the run goes on; one that
// leaves no stream stops the run.
TEST_F(Extraction, FailingUtilityThatLeftAStreamIsWarnedAbout) {
    struct Case {
        const char* name;
        const char* damage;  // what the stand-in does to the middle file's stream
        bool walked;
        const char* bytes_used;
    } cases[] = {
        {"part", "truncate -s 20000 \"$2\"", true, "20000"},
        {"empty", ": > \"$2\"", true, "0"},
        {"none", "rm -f \"$2\"", false, nullptr},
    };
    simulate({"--duration", "3min"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        configure(false, 20170301, 120000, 20170301, 120300);
        ASSERT_EQ(find_input_files(message), 3);
        const std::string middle = input_file_list[1];
        // -o OUT -d DATASET -b BE INPUT: the stream is $2, the input $7.
        const std::string stand_in = base / (std::string("dump-") + c.name);
        test_support::write_file(stand_in, std::string("#!/bin/sh\n") + kDumpUtility + " \"$@\" >/dev/null || exit 2\n" +
                                               "case \"$7\" in *" + middle + ") " + c.damage + "; exit 1;; esac\n");
        fs::permissions(stand_in, fs::perms::owner_all);
        test_support::set_parameter_text(PARAM_H5DUMP_EXE, stand_in);
        record_images();
        testing::internal::CaptureStdout();
        const bool walked = walk();
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_EQ(walked, c.walked) << message;
        if (!c.walked) {
            EXPECT_EQ(std::string(message), "ERROR - failed to run " + stand_in + " on input file " + input_dir + "/" +
                                                middle);
            continue;
        }
        // Dumped as the successor of the first pair and as the current file
        // of the second: one line each time.
        const std::string warning = "DUMP WARNING - " + stand_in + " exited with status 1 on input file " + input_dir +
                                    "/" + middle + "; " + c.bytes_used + " bytes of packets used";
        size_t lines = 0;
        for (size_t at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1)) ++lines;
        EXPECT_EQ(lines, 2u) << log;
        // The images of the last file are still written.
        const json& last = manifest["images"].back();
        EXPECT_EQ(handed_counts()[last["id"].get<uint32_t>()], 1);
        release_packet_table();
    }
}

// The next pair's dumps are made while a pair is scanned, in the order the
// pairs make them: every file but the first and the last is dumped twice.
TEST_F(Extraction, DumpsAheadKeepTheSequenceOfThePairs) {
    simulate({"--duration", "4min"});
    configure(false, 20170301, 120000, 20170301, 120600);
    ASSERT_EQ(find_input_files(message), 4);
    const std::string calls = base / "calls";
    const std::string stand_in = base / "dump-recording";
    test_support::write_file(stand_in, "#!/bin/sh\necho \"${2##*/} ${7##*/}\" >> '" + calls + "'\nexec " +
                                           kDumpUtility + " \"$@\"\n");
    fs::permissions(stand_in, fs::perms::owner_all);
    test_support::set_parameter_text(PARAM_H5DUMP_EXE, stand_in);
    std::vector<std::string> entries(input_file_list, input_file_list + input_file_count);
    ASSERT_TRUE(walk()) << message;
    std::string expected;
    for (size_t i = 0; i + 1 < entries.size(); ++i) expected += "f1.bin " + entries[i] + "\nf2.bin " + entries[i + 1] + "\n";
    EXPECT_EQ(test_support::read_file(calls), expected);
    expect_images_as_simulated(20170301, 120000, 20170301, 120600);
    EXPECT_TRUE(test_support::list_dir(work_dir).empty());
}

// A pair that fails while the next pair is being dumped kills that dump: it
// writes nothing into the working directory after the run's clean-up.
TEST_F(Extraction, FailedPairLeavesNoDumpRunning) {
    simulate({"--duration", "3min"});
    configure(false, 20170301, 120000, 20170301, 120600);
    ASSERT_EQ(find_input_files(message), 3);
    const std::string slow = base / "dump-slow";
    test_support::write_file(slow, std::string("#!/bin/sh\ncase \"$2\" in *f1.bin) case \"$7\" in *") +
                                       input_file_list[1] + ") sleep 2;; esac;; esac\nexec " + kDumpUtility +
                                       " \"$@\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    test_support::set_parameter_text(PARAM_H5DUMP_EXE, slow);
    PipelineHooks failing = recording_hooks;
    failing.product_directory = [](char* run_message, uint32_t, uint32_t, char (&)[kProductPathSlot]) {
        set_run_message(run_message, "ERROR - no product directory");
        return false;
    };
    ASSERT_TRUE(allocate_packet_table(message));
    ASSERT_FALSE(process_input_file(message, false, 0, 1, failing, FilePair{1, 2}));
    EXPECT_EQ(std::string(message), "ERROR - no product directory");
    clean_work_directory();
    ::sleep(3);
    EXPECT_TRUE(test_support::list_dir(work_dir).empty());
}

TEST_F(Extraction, ApidInputReadsNothing) {
    simulate({"--duration", "2min"});
    configure(false, 20170301, 120000, 20170301, 120600, "/bin/false");
    run_settings.param_number[PARAM_INPUT_TYPE] = 0;
    test_support::write_file(work_dir + "/marker", "x");
    ASSERT_TRUE(walk());
    EXPECT_TRUE(handed_images.empty());
    EXPECT_TRUE(test_support::list_dir(work_dir).empty());  // only the driver's final clean-up ran
    test_support::write_file(work_dir + "/marker", "x");
    ASSERT_TRUE(process_input_file(message, true, 0, 1, recording_hooks));
    EXPECT_EQ(test_support::list_dir(work_dir), std::vector<std::string>{"marker"});
}

}  // namespace
