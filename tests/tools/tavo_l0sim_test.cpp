// The level-0 simulator, run as a program: its files open with the HDF5 and
// NetCDF tools, its packet stream decodes back to its manifest, its names
// and layouts follow the ground system's rules, and faults appear as asked.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "l0_decoder.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test_support::read_file;
using test_support::run_program;
using test_support::TempDir;

test_support::ProgramResult run_sim(std::vector<std::string> args) {
    args.insert(args.begin(), TAVO_L0SIM_BINARY);
    return run_program(args);
}

// A small run: 64 x 48 pixels, 512 samples per packet (6 pixel packets per
// image), 3 minutes at 10 s in files of 1 minute.
std::vector<std::string> small_run(const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--out", out, "--size", "64x48", "--duration", "3min", "--file-span", "1min",
                                     "--samples-per-packet", "512", "--seed", "5", "--spike-rate", "0.004"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

json load_manifest(const std::string& dir) { return json::parse(read_file(dir + "/manifest.json")); }

// Every packet of the run, file after file in name order.
std::vector<l0_test::Packet> all_packets(const std::string& dir, const json& manifest, bool* truncated = nullptr) {
    std::vector<l0_test::Packet> packets;
    for (const json& f : manifest["files"]) {
        l0_test::Stream s = l0_test::decode_stream(read_file(dir + "/" + f["path"].get<std::string>()),
                                                   f["path"].get<std::string>());
        if (truncated && s.truncated) *truncated = true;
        packets.insert(packets.end(), s.packets.begin(), s.packets.end());
    }
    return packets;
}

std::string raw_to_nc(std::string name) { return name.replace(name.size() - 4, 4, ".nc"); }

TEST(Simulator, NetcdfFilesDumpBackToTheRawStream) {
    TempDir nc("sim_nc"), raw("sim_raw");
    ASSERT_EQ(run_sim(small_run(nc.path())).exit_status, 0);
    ASSERT_EQ(run_sim(small_run(raw.path(), {"--raw"})).exit_status, 0);
    json m = load_manifest(raw.path());
    ASSERT_EQ(m["files"].size(), 3u);
    for (const json& f : m["files"]) {
        const std::string name = raw_to_nc(f["path"].get<std::string>());
        const std::string dumped = nc / "dump.bin";
        auto r = run_program({"/usr/bin/h5dump", "-o", dumped, "-d", "tavo_space_packet_data", "-b", "BE", nc / name});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(read_file(dumped), read_file(raw / f["path"].get<std::string>())) << name;

        auto h = run_program({"/usr/bin/ncdump", "-h", nc / name});
        ASSERT_EQ(h.exit_status, 0) << h.err;
        EXPECT_NE(h.out.find("ubyte tavo_space_packet_data(packet_stream_bytes)"), std::string::npos) << h.out;
        EXPECT_NE(h.out.find(":platform_ID = \"KITE-16\""), std::string::npos);
        EXPECT_NE(h.out.find(":instrument_ID = \"TAVO\""), std::string::npos);
        EXPECT_NE(h.out.find(":packet_count = " + std::to_string(f["packets"].get<int>()) + "U"), std::string::npos);
        EXPECT_NE(h.out.find(":time_coverage_start = \"" + f["start"].get<std::string>()), std::string::npos);
        EXPECT_NE(h.out.find(":simulator_seed = 5ULL"), std::string::npos);
        auto k = run_program({"/usr/bin/ncdump", "-hs", nc / name});
        EXPECT_NE(k.out.find("_DeflateLevel = 1"), std::string::npos) << k.out;
        EXPECT_NE(k.out.find("_Storage = \"chunked\""), std::string::npos);
    }
}

TEST(Simulator, StreamDecodesToTheManifest) {
    TempDir dir("sim_decode");
    ASSERT_EQ(run_sim(small_run(dir.path(), {"--raw", "--dark-every", "4", "--fm", "3", "--dump-pixels"})).exit_status,
              0);
    json m = load_manifest(dir.path());
    bool truncated = false;
    auto packets = all_packets(dir.path(), m, &truncated);
    EXPECT_FALSE(truncated);

    // Packet rules of the reader, and per-identifier sequence counts.
    std::map<uint16_t, int> last_count;
    uint64_t last_time = 0;
    for (const auto& p : packets) {
        EXPECT_EQ(p.ident & 0xE800, 0x0800);
        EXPECT_EQ(p.sequence & 0xC000, 0xC000);
        EXPECT_GE(p.length, 24u);
        EXPECT_LE(p.length, 8200u);
        EXPECT_EQ(static_cast<uint8_t>(p.bytes[18]) >> 1, 3) << "flight model";
        if (last_count.count(p.apid())) {
            EXPECT_EQ(p.sequence & 0x3FFF, (last_count[p.apid()] + 1) & 0x3FFF);
        }
        last_count[p.apid()] = p.sequence & 0x3FFF;
        uint64_t t = (uint64_t{p.day} * 86400000 + p.ms) * 1000 + p.submillis;
        EXPECT_GE(t, last_time);
        last_time = t;
        if (p.kind == 0) {
            EXPECT_GE(p.length, 792u);
        } else {
            EXPECT_LT(p.first, p.last) << "never a one-sample packet";
            EXPECT_LE(p.last - p.first, 4073u);
            EXPECT_EQ(p.length, 44 + 2 * (p.last - p.first + 1));
        }
    }

    auto images = l0_test::assemble_images(packets);
    ASSERT_EQ(images.size(), m["images"].size());
    ASSERT_EQ(images.size(), 18u);
    uint32_t previous_id = 0;
    int darks = 0;
    std::set<int> wavelengths;
    for (const json& e : m["images"]) {
        uint32_t id = e["id"];
        EXPECT_GT(id, previous_id);
        previous_id = id;
        ASSERT_TRUE(images.count(id));
        const auto& img = images[id];
        const std::string& h = img.header;
        EXPECT_TRUE(img.has_final);
        EXPECT_EQ(l0_test::be(h, 120, 4), e["end_of_frame"]["epoch_day"].get<uint32_t>());
        EXPECT_EQ(l0_test::be(h, 124, 4), e["end_of_frame"]["epoch_ms"].get<uint32_t>());
        EXPECT_EQ(l0_test::be(h, 40, 2), 48u);  // rows
        EXPECT_EQ(l0_test::be(h, 42, 2), 64u);  // columns
        EXPECT_EQ(l0_test::be(h, 72, 4), e["exposure_ms"].get<uint32_t>());
        const bool dark = e["frame_type"] == "DARK";
        darks += dark;
        EXPECT_EQ(static_cast<uint8_t>(h[84]), dark ? 2 : 1);
        // Flight model 3 encoder ranges of the aperture selector and wheel 1.
        int as = static_cast<uint8_t>(h[46]) >> 2;
        static const std::map<int, std::pair<int, int>> as_fm3 = {
            {131, {1, 3}}, {171, {7, 9}}, {195, {13, 15}}, {284, {19, 21}}, {304, {25, 27}}, {94, {31, 33}}};
        int wl = e["passband"]["wavelength"];
        wavelengths.insert(wl);
        EXPECT_GE(as, as_fm3.at(wl).first);
        EXPECT_LE(as, as_fm3.at(wl).second);
        int fw1 = static_cast<int>(l0_test::be(h, 266, 2) >> 7);
        EXPECT_EQ(fw1, e["filter_wheel1"]["encoder"].get<int>());
        if (dark) {
            EXPECT_TRUE(fw1 >= 8 && fw1 <= 15) << "THICK_AL on flight model 3";
        }
        int port = (static_cast<uint8_t>(h[776]) >> 5) & 3;
        EXPECT_TRUE(port == 1 || port == 2);
        EXPECT_EQ(l0_test::be(h, 760, 2), e["ccd_temp_counts"][0].get<uint32_t>());
        EXPECT_EQ(l0_test::pixel_checksum(img.samples), e["pixel_fnv1a64"]);
        for (bool r : img.reached) ASSERT_TRUE(r);
        for (const json& s : e["spikes"]) {
            int col = s["column"], row = s["row"];
            EXPECT_TRUE(col >= 2 && col < 62 && row >= 2 && row < 46);
            EXPECT_EQ(img.samples[row * 64 + col], s["value"].get<uint16_t>());
        }
        std::string pixels = read_file(dir / e["pixel_file"].get<std::string>());
        ASSERT_EQ(pixels.size(), 2u * 64 * 48);
        for (size_t i = 0; i < img.samples.size(); ++i)
            ASSERT_EQ(l0_test::be(pixels, 2 * i, 2), img.samples[i]) << i;
    }
    EXPECT_EQ(darks, 4);
    EXPECT_EQ(wavelengths.size(), 6u);
}

// Start near midnight so the run touches two days.
struct LayoutCase {
    const char* layout;
    std::vector<std::string> dirs;
};

class SimulatorLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(SimulatorLayout, NamesAndDirectories) {
    TempDir dir("sim_layout");
    auto args = small_run(dir.path(), {"--raw", "--layout", GetParam().layout, "--start", "2016-12-31T23:58:00",
                                       "--duration", "4min", "--kite", "18"});
    ASSERT_EQ(run_sim(args).exit_status, 0);
    json m = load_manifest(dir.path());
    std::set<std::string> dirs;
    for (const json& f : m["files"]) {
        std::string path = f["path"];
        size_t slash = path.find('/');
        dirs.insert(slash == std::string::npos ? "" : path.substr(0, slash));
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string nc = raw_to_nc(name);
        EXPECT_LE(nc.size(), 67u);
        EXPECT_EQ(nc.rfind("OR_TAVO-L0_K18_s20", 0), 0u) << nc;
        EXPECT_NE(nc.find("_e20"), std::string::npos);
        // Start field: ordinal date, clock time, tenths of the file's start.
        std::string start = f["start"];  // 2016-12-31T23:58:00.0Z
        std::string want = start.substr(11, 2) + start.substr(14, 2) + start.substr(17, 2) + start.substr(20, 1);
        EXPECT_EQ(nc.substr(nc.find("_s20") + 9, 7), want) << nc;
        EXPECT_EQ(fs::file_size(dir / path), f["stream_bytes"].get<size_t>());
    }
    EXPECT_EQ(std::vector<std::string>(dirs.begin(), dirs.end()), GetParam().dirs);
    EXPECT_NE(m["files"][0]["path"].get<std::string>().find("_s2016366235800"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SimulatorLayout,
    ::testing::Values(LayoutCase{"flat", {""}}, LayoutCase{"ordinal", {"K18_2016_366", "K18_2017_001"}},
                      LayoutCase{"calendar", {"K18_20161231", "K18_20170101"}},
                      LayoutCase{"mixed", {"K18_2016_366", "K18_20170101"}}),
    [](const auto& info) { return std::string(info.param.layout); });

TEST(Simulator, SameSeedSameBytes) {
    TempDir a("sim_a"), b("sim_b"), c("sim_c");
    ASSERT_EQ(run_sim(small_run(a.path(), {"--layout", "ordinal"})).exit_status, 0);
    ASSERT_EQ(run_sim(small_run(b.path(), {"--layout", "ordinal"})).exit_status, 0);
    ASSERT_EQ(run_sim(small_run(c.path(), {"--layout", "ordinal", "--seed", "6"})).exit_status, 0);
    size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(a.path())) {
        if (!e.is_regular_file()) continue;
        std::string rel = fs::relative(e.path(), a.path()).string();
        EXPECT_EQ(read_file(e.path().string()), read_file(b / rel)) << rel;
        if (rel.find(".nc") != std::string::npos) {
            EXPECT_NE(read_file(e.path().string()), read_file(c / rel)) << rel;
        }
        ++files;
    }
    EXPECT_EQ(files, 4u);  // three level-0 files and the manifest
}

// Each fault, asked for at image 9, and what the decoded stream must show.
struct FaultCase {
    const char* fault;
    std::function<void(const std::vector<l0_test::Packet>&, bool truncated, const json& m)> check;
};

const json& image9(const json& m) { return m["images"][9]; }

const FaultCase kFaultCases[] = {
    {"duplicate",
     [](const auto& packets, bool, const json&) {
         std::map<std::string, std::set<std::string>> files_of;
         for (const auto& p : packets) files_of[p.bytes].insert(p.file);
         int repeated = 0;
         for (const auto& [bytes, files] : files_of) repeated += files.size() == 2;
         EXPECT_EQ(repeated, 5);
     }},
    {"missing-final",
     [](const auto& packets, bool, const json& m) {
         uint32_t id = image9(m)["id"];
         for (const auto& p : packets) EXPECT_FALSE(p.image_id == id && p.kind == 3);
         EXPECT_FALSE(image9(m)["complete"].get<bool>());
     }},
    {"truncate", [](const auto&, bool truncated, const json& m) {
         EXPECT_TRUE(truncated);
         EXPECT_GT(image9(m)["lost_packets"].get<int>(), 0);
     }},
    {"bad-length",
     [](const auto& packets, bool, const json&) {
         // The decoder cannot go past the impossible length: the stream of
         // that file ends at the packet.
         bool found = false;
         for (const auto& p : packets) found |= p.length == 0xFFFF + 7;
         EXPECT_FALSE(found);
     }},
    {"id-repeat",
     [](const auto&, bool, const json& m) { EXPECT_EQ(m["images"][9]["id"], m["images"][8]["id"]); }},
    {"foreign-apid",
     [](const auto& packets, bool, const json&) {
         std::set<int> foreign;
         for (const auto& p : packets)
             if (p.apid() < 802 || p.apid() > 859) foreign.insert(p.apid());
         EXPECT_EQ(foreign, (std::set<int>{300, 901, 1023}));
     }},
    {"alias-apid",
     [](const auto& packets, bool, const json& m) {
         for (const auto& p : packets)
             if (p.image_id == image9(m)["id"] && p.length >= 44) {
                 EXPECT_EQ(p.apid(), image9(m)["apid"].get<int>());
                 EXPECT_GE(p.apid(), 1024 + 802);
             }
     }},
    {"bad-header-bits",
     [](const auto& packets, bool, const json& m) {
         int version = 0, secondary = 0, flags = 0;
         for (const auto& p : packets) {
             version += (p.ident >> 13) != 0;
             secondary += (p.ident & 0x0800) == 0;
             flags += (p.sequence & 0xC000) != 0xC000;
         }
         EXPECT_EQ(version + secondary + flags, 3);
         EXPECT_EQ(version, 1);
         EXPECT_EQ(image9(m)["damaged_pixel_ranges"].size(), 3u);
     }},
    {"bad-index",
     [](const auto& packets, bool, const json& m) {
         int equal = 0, too_long = 0, reversed = 0, beyond = 0;
         for (const auto& p : packets) {
             if (p.kind == 0 || p.length < 44) continue;
             equal += p.first == p.last;
             too_long += p.last > p.first && p.last - p.first > 4073;
             reversed += p.first > p.last;
             beyond += p.last >= 2000000;
         }
         EXPECT_EQ(std::vector<int>({equal, too_long, reversed, beyond}), std::vector<int>({1, 1, 1, 1}));
         EXPECT_TRUE(image9(m)["complete"].get<bool>());
     }},
    {"sel-bits",
     [](const auto& packets, bool, const json& m) {
         int sel = 0;
         for (const auto& p : packets)
             if (p.kind != 0 && p.length >= 44 && p.first < p.last)
                 for (uint32_t i = 0; i <= p.last - p.first; ++i) sel += (p.sample(i) & 0x4000) != 0;
         EXPECT_EQ(sel, image9(m)["sel_count"].get<int>());
         EXPECT_GT(sel, 0);
     }},
    {"bit15",
     [](const auto& packets, bool, const json& m) {
         int high = 0;
         for (const auto& p : packets)
             if (p.kind != 0 && p.length >= 44 && p.first < p.last)
                 for (uint32_t i = 0; i <= p.last - p.first; ++i) high += (p.sample(i) & 0x8000) != 0;
         EXPECT_GT(high, 0);
         auto images = l0_test::assemble_images(packets);
         EXPECT_EQ(l0_test::pixel_checksum(images[image9(m)["id"]].samples), image9(m)["pixel_fnv1a64"]);
     }},
    {"gap",
     [](const auto&, bool, const json& m) {
         int near_empty = 0;
         for (const json& f : m["files"]) near_empty += f["packets"].get<int>() < 4;
         EXPECT_EQ(near_empty, 1);
         EXPECT_EQ(m["files"].size(), 2u);  // one file lost in the gap
     }},
};

class SimulatorFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimulatorFault, AppearsAsRequested) {
    TempDir dir("sim_fault");
    ASSERT_EQ(run_sim(small_run(dir.path(), {"--raw", "--fault", std::string(GetParam().fault) + "@9"})).exit_status,
              0);
    json m = load_manifest(dir.path());
    ASSERT_EQ(m["faults"].size(), 1u);
    EXPECT_EQ(image9(m)["faults"][0], GetParam().fault);
    for (size_t k = 0; k < m["images"].size(); ++k)
        if (k != 9 && std::string(GetParam().fault) != "gap" && std::string(GetParam().fault) != "truncate") {
            EXPECT_TRUE(m["images"][k]["complete"].get<bool>()) << k;
        }
    bool truncated = false;
    auto packets = all_packets(dir.path(), m, &truncated);
    GetParam().check(packets, truncated, m);
}

INSTANTIATE_TEST_SUITE_P(Faults, SimulatorFault, ::testing::ValuesIn(kFaultCases), [](const auto& info) {
    std::string n = info.param.fault;
    for (char& c : n)
        if (c == '-') c = '_';
    return n;
});

struct UsageCase {
    std::vector<std::string> args;
    const char* message;
};

TEST(Simulator, RefusesBadSettings) {
    TempDir dir("sim_usage");
    const std::string out = dir.path();
    const UsageCase cases[] = {
        {{"--out", out, "--start", "2017-02-30T00:00:00"}, "is not a valid UTC time"},
        {{"--out", out, "--start", "yesterday"}, "is not of the form YYYY-MM-DDTHH:MM:SS"},
        {{"--out", out, "--start", "1999-06-01T00:00:00"}, "outside the years 2000 to 2098"},
        {{"--out", out, "--start", "2000-01-01T06:00:00"}, "before the instrument epoch"},
        {{"--out", out, "--duration", "ten"}, "is not a positive number with a unit"},
        {{"--out", out, "--cadence", "500ms"}, "is below 1s"},
        {{"--out", out, "--duration", "5s"}, "shorter than one cadence"},
        {{"--out", out, "--size", "12by4"}, "is not N or NXxNY"},
        {{"--out", out, "--size", "5000"}, "must give 1 to 4096 columns"},
        {{"--out", out, "--duration", "1min", "--fault", "meteor"}, "unknown fault 'meteor'"},
        {{"--out", out, "--duration", "1min", "--fault", "gap@x"}, "no valid image ordinal"},
        {{"--out", out, "--duration", "1min", "--fault", "gap@6"}, "names image 6 but the run has images 0 to 5"},
        {{"--out", "/dev/null/sub", "--duration", "1min"}, "cannot create output directory /dev/null/sub"},
        {{"--out", out, "--duration", "1min", "--late", "1:1min"}, "--late needs --live"},
        {{"--out", out, "--duration", "1min", "--live", "--late", "x:1min"}, "is not K:DELAY"},
        {{"--out", out, "--duration", "1min", "--live", "--late", "1"}, "is not K:DELAY"},
        {{"--out", out, "--duration", "1min", "--live", "--late", "1:soon"}, "is not a positive number"},
        {{"--out", out, "--duration", "1min", "--in-place"}, "--in-place needs --live"},
        {{"--out", out, "--duration", "1min", "--live", "--delivery-time", "8min"}, "exceeds the file span plus"},
    };
    for (const auto& c : cases) {
        auto r = run_sim(c.args);
        // A setting the simulator refuses is bad usage (2); an output it cannot write, a failure (1).
        EXPECT_EQ(r.exit_status, std::string(c.message).find("cannot create") == 0 ? 1 : 2) << c.message;
        EXPECT_NE(r.err.find("tavo_l0sim: error: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    auto r = run_sim({"--out", out, "--kite", "20"});
    EXPECT_NE(r.exit_status, 0);
    r = run_sim({"--duration", "1h"});
    EXPECT_NE(r.exit_status, 0) << "--out is required";
}

TEST(Simulator, ManifestWriteFailureIsReported) {
    TempDir dir("sim_full");
    auto r = run_sim({"--out", dir.path(), "--duration", "20s", "--size", "16", "--manifest", "/dev/full"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("cannot write /dev/full"), std::string::npos) << r.err;
}

// Links planted at every temporary name of a run, aimed at a file outside
// it: the run writes the same files and never the file the links point to.
TEST(Simulator, NeverWritesThroughAPlantedLink) {
    TempDir first("sim_first"), planted("sim_planted");
    ASSERT_EQ(run_sim(small_run(first.path())).exit_status, 0);
    test_support::write_file(planted / "victim", "victim\n");
    const json m = load_manifest(first.path());
    for (const json& f : m["files"]) {
        fs::create_directories(fs::path(planted / f["path"]).parent_path());
        fs::create_symlink(planted / "victim", planted / (f["path"].get<std::string>() + ".part"));
    }
    ASSERT_EQ(run_sim(small_run(planted.path())).exit_status, 0);
    EXPECT_EQ(read_file(planted / "victim"), "victim\n");
    for (const json& f : m["files"]) {
        const std::string path = f["path"];
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(planted / path))) << path;
        EXPECT_EQ(read_file(planted / path), read_file(first / path)) << path;
        EXPECT_FALSE(fs::exists(fs::symlink_status(planted / (path + ".part")))) << path;
    }
}

// What a reader sees of a file while the live simulator sends it.
struct Sighting {
    uintmax_t size;
    fs::file_time_type modified;
    bool operator!=(const Sighting& o) const { return size != o.size || modified != o.modified; }
};

// Looks at path every millisecond while the simulator runs, until done()
// holds; each change seen, in order.
std::vector<Sighting> watch(const std::string& path, int pid, const std::function<bool()>& done) {
    std::vector<Sighting> seen;
    while (test_support::process_alive(pid) && !done()) {
        std::error_code ec;
        const Sighting now{fs::file_size(path, ec), fs::last_write_time(path, ec)};
        if (!ec && (seen.empty() || seen.back() != now)) seen.push_back(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return seen;
}

// Live delivery: file 1 grows under its part name and appears under its
// final name only whole; every file has the bytes of a run at once and
// lands in the order of its landing time (file 0 delayed past file 2).
TEST(Simulator, LiveFileGrowsUnderItsPartNameAndLandsWhole) {
    TempDir at_once("sim_at_once"), live("sim_live");
    ASSERT_EQ(run_sim(small_run(at_once.path())).exit_status, 0);
    const std::string name = load_manifest(at_once.path())["files"][1]["path"];
    const uintmax_t whole = fs::file_size(at_once / name);
    std::vector<std::string> argv = small_run(live.path(), {"--live", "--speed", "120", "--late", "0:150s"});
    argv.insert(argv.begin(), TAVO_L0SIM_BINARY);
    const int pid = test_support::start_program(argv, live / "sim.out");
    const std::vector<Sighting> part =
        watch(live / (name + ".part"), pid, [&] { return fs::exists(live / name); });
    std::error_code ec;
    const uintmax_t first_seen = fs::file_size(live / name, ec);
    ASSERT_EQ(test_support::wait_for(pid), 0) << read_file(live / "sim.out");

    ASSERT_GE(part.size(), 2u) << "the part file was never seen growing";
    EXPECT_LT(part.front().size, part.back().size);
    EXPECT_LT(part.back().size, whole);
    EXPECT_EQ(first_seen, whole) << "renamed before it was whole";
    const json m = load_manifest(live.path());
    ASSERT_EQ(m["files"].size(), 3u);
    for (const json& f : m["files"]) {
        const std::string path = f["path"];
        EXPECT_EQ(read_file(live / path), read_file(at_once / path)) << path;
        EXPECT_FALSE(fs::exists(live / (path + ".part"))) << path;
        EXPECT_FALSE(f["in_place"].get<bool>());
        EXPECT_LT(f["delivery_started_unix_s"].get<double>(), f["landed_unix_s"].get<double>());
    }
    // Due 60 s after its end (12:02:00), file 0 lands 150 s later: after file 2.
    EXPECT_EQ(m["files"][0]["due"], "2017-03-01T12:04:30.0Z");
    EXPECT_EQ(m["files"][2]["due"], "2017-03-01T12:04:00.0Z");
    EXPECT_GT(m["files"][0]["landed_unix_s"].get<double>(), m["files"][2]["landed_unix_s"].get<double>());
    EXPECT_LT(m["files"][1]["landed_unix_s"].get<double>(), m["files"][2]["landed_unix_s"].get<double>());
}

// Delivered in place, over 20 s: file 1 grows under its final name, its
// modification time moving, and ends with the bytes of a run at once.
TEST(Simulator, InPlaceFileGrowsUnderItsFinalName) {
    TempDir at_once("sim_at_once"), live("sim_in_place");
    ASSERT_EQ(run_sim(small_run(at_once.path())).exit_status, 0);
    const std::string name = load_manifest(at_once.path())["files"][1]["path"];
    const uintmax_t whole = fs::file_size(at_once / name);
    std::vector<std::string> argv =
        small_run(live.path(), {"--live", "--speed", "60", "--in-place", "--delivery-time", "20s"});
    argv.insert(argv.begin(), TAVO_L0SIM_BINARY);
    const int pid = test_support::start_program(argv, live / "sim.out");
    const std::vector<Sighting> seen = watch(live / name, pid, [&] {
        std::error_code ec;
        return fs::file_size(live / name, ec) == whole;
    });
    ASSERT_EQ(test_support::wait_for(pid), 0) << read_file(live / "sim.out");

    std::vector<Sighting> partial;
    for (const Sighting& s : seen)
        if (s.size > 0 && s.size < whole) partial.push_back(s);
    ASSERT_GE(partial.size(), 2u) << "the file was never seen growing under its final name";
    EXPECT_LT(partial.front().size, partial.back().size);
    EXPECT_LT(partial.front().modified, partial.back().modified);
    EXPECT_FALSE(fs::exists(live / (name + ".part")));
    const json m = load_manifest(live.path());
    for (const json& f : m["files"]) {
        const std::string path = f["path"];
        EXPECT_EQ(read_file(live / path), read_file(at_once / path)) << path;
        EXPECT_TRUE(f["in_place"].get<bool>());
    }
    // Sent over the last 20 s before its landing: a third of a second at speed 60 (a whole span, 1 s).
    const double sending = m["files"][1]["landed_unix_s"].get<double>() -
                           m["files"][1]["delivery_started_unix_s"].get<double>();
    EXPECT_GT(sending, 0.25);
    EXPECT_LT(sending, 0.8);
}

TEST(Simulator, HelpExplainsEveryOption) {
    auto r = run_sim({"--help"});
    EXPECT_EQ(r.exit_status, 0);
    for (const char* option : {"--kite", "--fm", "--start", "--duration", "--cadence", "--file-span", "--size",
                               "--layout", "--out", "--manifest", "--seed", "--first-id", "--dark-every",
                               "--spike-rate", "--samples-per-packet", "--deflate", "--raw", "--dump-pixels",
                               "--fault", "missing-final", "bad-header-bits", "--live", "--speed", "--late",
                               "--delivery-time", "--in-place", "--in-place-file"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

}  // namespace
