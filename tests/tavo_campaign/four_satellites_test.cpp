// Four satellites followed at once into one product root and one catalog,
// each with a late file, a dropped final packet and a damaged file, each
// follower killed once: every satellite's products are those of one
// TAVO_L0 run, and the catalog answers for each as one fed that run's audit.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace fs = std::filesystem;
using test_support::process_alive;
using test_support::read_file;
using test_support::run_program;
using test_support::start_program;
using test_support::TempDir;
using test_support::wait_for;
using test_support::write_file;

namespace {

const std::string kCampaignProgram = TAVO_CAMPAIGN_BINARY;
// The dump utility that hands a damaged file's whole chunks before the
// damage to the run, as the audit reads them.
const std::string kDump = (fs::path(TAVO_L0_BINARY).parent_path() / "tavo_l0dump").string();
const std::string kFrom = "2017/03/01t23:42:00";
const std::string kUntil = "2017/03/02t00:18:59";
// 40 minutes in 7 files of 361 s (images run on into the next file at some
// joins), the third from 23:54:02 to 00:00:03; 128 x 128 images fill two
// chunks of the packet variable per file.
const std::vector<std::string> kSimulation = {"--start", "2017-03-01T23:42:00", "--duration", "40min", "--cadence",
                                              "10s", "--file-span", "361s", "--size", "128", "--layout", "ordinal"};
constexpr int kFiles = 7;

struct Satellite {
    int kite;
    int late_file;      // delivered after the files around it were processed (0-based, time order)
    int damaged_file;   // the second chunk of its packet variable damaged
    int dropped_image;  // ordinal of the image whose final packet is not sent
};
// The late file is the damaged one for KITE-19; KITE-18's dropped packet is
// in its late file, KITE-16's in its damaged file before the damage; the
// file across midnight is late for KITE-17 and damaged for KITE-18.
const Satellite kSatellites[] = {{16, 1, 3, 120}, {17, 2, 4, 60}, {18, 4, 2, 150}, {19, 3, 3, 200}};

std::string config_text(int kite, const std::string& l0, const std::string& out, const std::string& work) {
    return "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + l0 + "/\nINPUT_SUBDIRECTORY=HIERARCHICAL\nWORKING_DIRECTORY=" +
           work + "/\nH5DUMP_EXE=" + kDump + "\nOUTPUT_ROOT_DIRECTORY=" + out +
           "/\nDESPIKE=YES\nISP_CSV=YES\nKITE=" + std::to_string(kite) + "\nSTART=" + kFrom + "\nEND=" + kUntil +
           "\n";
}

// A manifest time ("2017-03-01T23:46:00.9Z") as the follower writes its
// mark ("2017/03/01t23:46:00"), so that the two compare as text.
std::string as_mark(const std::string& manifest_time) {
    std::string mark = manifest_time.substr(0, 19);
    mark[4] = mark[7] = '/';
    mark[10] = 't';
    return mark;
}

// One satellite's level-0, campaign and follower.
struct Followed {
    Satellite satellite;
    fs::path staging;    // the simulator's files, before delivery
    fs::path l0;         // the input tree the follower watches
    fs::path campaign;   // its campaign directory
    nlohmann::json manifest;
    std::vector<std::string> argv;  // the follower's command line
    int pid = -1;
    bool killed = false;
    std::vector<fs::path> outputs;  // the follower's outputs, one per start

    std::string file(int n) const { return manifest["files"][n]["path"]; }
    std::string mark() const {
        const fs::path state = campaign / "follow.json";
        if (!fs::exists(state)) return "";
        const auto json = nlohmann::json::parse(read_file(state), nullptr, false);
        return json.is_object() && json.contains("mark") && json["mark"].is_string() ? json["mark"].get<std::string>()
                                                                                    : "";
    }
    void start(const fs::path& output) {
        outputs.push_back(output);
        pid = start_program(argv, output);
    }
    std::string output_text() const {
        std::string text;
        for (const fs::path& o : outputs) text += read_file(o);
        return text;
    }
    // Renames file n from the staging directory into the input tree.
    void deliver(int n) const {
        const fs::path to = l0 / file(n);
        fs::create_directories(to.parent_path());
        fs::rename(staging / file(n), to);
    }
};

// Overwrites 64 bytes in the middle of the second chunk of the file's
// packet variable.
void damage_second_chunk(const fs::path& file) {
    const auto damage = run_program(
        {"/usr/bin/python3", "-c",
         "import h5py, sys\n"
         "with h5py.File(sys.argv[1], 'r') as f: c = f['tavo_space_packet_data'].id.get_chunk_info(1)\n"
         "with open(sys.argv[1], 'r+b') as f: f.seek(c.byte_offset + c.size // 2); f.write(bytes(64))\n",
         file.string()});
    ASSERT_EQ(damage.exit_status, 0) << damage.err;
}

// Kills a follower with SIGKILL while it runs a window from window 3 on
// (started, no result yet), and starts it again.
void kill_in_window_and_restart(Followed& f) {
    if (f.killed || !fs::exists(f.campaign / "windows")) return;
    bool running = false;
    for (const auto& window : fs::directory_iterator(f.campaign / "windows")) {
        running = running || (window.path().filename() >= "0003" && fs::exists(window.path() / "started.json") &&
                              !fs::exists(window.path() / "result.json"));
    }
    if (!running) return;
    kill(f.pid, SIGKILL);
    EXPECT_EQ(wait_for(f.pid), 128 + SIGKILL);
    f.killed = true;
    f.start(f.campaign.parent_path() / ("follow-" + std::to_string(f.satellite.kite) + "-again.out"));
}

// Polls until done() holds or a minute has passed, killing the followers as
// due meanwhile.
template <typename Done>
bool watch_until(std::vector<Followed>& followers, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        for (Followed& f : followers) kill_in_window_and_restart(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Followers still running when a test ends (an assertion failed) are killed.
struct StopLeftovers {
    std::vector<Followed>& followers;
    ~StopLeftovers() {
        for (const Followed& f : followers) {
            if (f.pid > 0 && process_alive(f.pid)) {
                kill(f.pid, SIGKILL);
                wait_for(f.pid);
            }
        }
    }
};

TEST(FourSatellites, FollowedAtOnceIntoOneRootAndOneCatalog) {
    ASSERT_TRUE(fs::exists(kDump)) << "build tavo_l0dump";
    ASSERT_TRUE(fs::exists(TAVO_L0AUDIT_BINARY)) << "build tavo_l0audit";
    TempDir dir("tavo-four-satellites");
    const fs::path root = dir.path();
    const fs::path products = root / "products";
    const fs::path catalog = root / "mission.sqlite";
    fs::create_directories(products);

    std::vector<Followed> followers;
    const StopLeftovers stop{followers};
    for (const Satellite& s : kSatellites) {
        const std::string kite = std::to_string(s.kite);
        Followed f;
        f.satellite = s;
        f.staging = root / ("staging-" + kite);
        f.l0 = root / ("l0-" + kite);
        f.campaign = root / ("campaign-" + kite);
        std::vector<std::string> sim = {TAVO_L0SIM_BINARY, "--kite", kite, "--seed", kite, "--out", f.staging,
                                        "--fault", "missing-final@" + std::to_string(s.dropped_image)};
        sim.insert(sim.end(), kSimulation.begin(), kSimulation.end());
        const auto simulated = run_program(sim);
        ASSERT_EQ(simulated.exit_status, 0) << simulated.err;
        f.manifest = nlohmann::json::parse(read_file(f.staging / "manifest.json"));
        ASSERT_EQ(f.manifest["files"].size(), static_cast<size_t>(kFiles));
        damage_second_chunk(f.staging / f.file(s.damaged_file));
        fs::create_directories(f.l0);
        fs::create_directories(root / ("work-" + kite));
        write_file(root / ("base-" + kite + ".cfg"),
                   config_text(s.kite, f.l0, products, root / ("work-" + kite)));
        f.argv = {kCampaignProgram, "follow", "--dir", f.campaign, "--config", root / ("base-" + kite + ".cfg"),
                  "--lag", "100ms", "--poll", "200ms", "--until", kUntil, "--catalog", catalog};
        followers.push_back(f);
    }
    for (Followed& f : followers) f.start(root / ("follow-" + std::to_string(f.satellite.kite) + ".out"));

    // Each satellite's files one after another, each once the follower has
    // processed the one before; the late one held back until the follower
    // has processed past it, then the last file.
    for (Followed& f : followers) {
        ASSERT_TRUE(watch_until(followers, [&] { return f.mark() == kFrom; })) << f.output_text();
    }
    std::vector<std::string> marks(followers.size(), kFrom);  // each follower's mark at its last delivery
    for (int n = 0; n < kFiles - 1; ++n) {
        for (size_t i = 0; i < followers.size(); ++i) {
            Followed& f = followers[i];
            if (n == f.satellite.late_file) continue;
            if (n > 0) {
                ASSERT_TRUE(watch_until(followers, [&] { return f.mark() != marks[i]; }))
                    << "KITE-" << f.satellite.kite << " file " << n << "\n" << f.output_text();
            }
            marks[i] = f.mark();
            f.deliver(n);
        }
    }
    for (Followed& f : followers) {
        const std::string late_end = as_mark(f.manifest["files"][f.satellite.late_file]["end"]);
        ASSERT_TRUE(watch_until(followers, [&] { return f.killed && f.mark() > late_end; }))
            << "KITE-" << f.satellite.kite << ": killed " << f.killed << ", mark " << f.mark() << "\n"
            << f.output_text();
        f.deliver(f.satellite.late_file);
    }
    for (const Followed& f : followers) f.deliver(kFiles - 1);
    for (Followed& f : followers) {
        ASSERT_TRUE(watch_until(followers, [&] { return !process_alive(f.pid); })) << f.output_text();
        EXPECT_EQ(wait_for(f.pid), 0) << f.output_text();
        EXPECT_EQ(f.mark(), kUntil);
        const std::string out = f.output_text();
        EXPECT_NE(out.find("re-run: late file"), std::string::npos) << out;
        EXPECT_NE(out.find("damaged input: " + (f.l0 / f.file(f.satellite.damaged_file)).string() +
                           ", 1048576 bytes of packets used"),
                  std::string::npos)
            << out;
    }

    // Four finishes at once: each names its losses and damaged file, exit 1.
    std::vector<int> finishes;
    for (const Followed& f : followers) {
        finishes.push_back(start_program({kCampaignProgram, "finish", "--dir", f.campaign},
                                         root / ("finish-" + std::to_string(f.satellite.kite) + ".out")));
    }
    for (size_t i = 0; i < followers.size(); ++i) {
        const Followed& f = followers[i];
        const int status = wait_for(finishes[i]);
        const std::string out = read_file(root / ("finish-" + std::to_string(f.satellite.kite) + ".out"));
        EXPECT_EQ(status, 1) << out;
        EXPECT_NE(out.find("lost in the telemetry (only a re-sent downlink mends them)"), std::string::npos) << out;
        EXPECT_NE(out.find("Damaged input: " + (f.l0 / f.file(f.satellite.damaged_file)).string() +
                           ", 1048576 bytes of packets used (window "),
                  std::string::npos)
            << out;
    }

    // One TAVO_L0 run per satellite over the same files into one reference
    // root, and its audit into a catalog of its own.
    const fs::path reference = root / "reference";
    const fs::path one = root / "one.sqlite";
    for (const Followed& f : followers) {
        const std::string kite = std::to_string(f.satellite.kite);
        fs::create_directories(root / ("reference-work-" + kite));
        const fs::path config = root / ("reference-" + kite + ".cfg");
        write_file(config, config_text(f.satellite.kite, f.l0, reference, root / ("reference-work-" + kite)));
        fs::create_directories(reference);
        const auto run = run_program({TAVO_L0_BINARY, "CONFIG=" + config.string()});
        ASSERT_EQ(run.exit_status, 0) << run.out;
        const fs::path report = root / ("reference-" + kite + ".json");
        const auto audit =
            run_program({TAVO_L0AUDIT_BINARY, "CONFIG=" + config.string(), "--quiet", "--report", report});
        ASSERT_EQ(audit.exit_status, 1) << audit.out << audit.err;
        const auto ingest = run_program({TAVO_CATALOG_BINARY, "--db", one, "ingest", report});
        ASSERT_EQ(ingest.exit_status, 0) << ingest.err;
    }
    const auto compared = run_program(
        {"/usr/bin/python3", std::string(TAVO_SOURCE_DIR) + "/bench/compare_products.py", reference, products});
    EXPECT_EQ(compared.exit_status, 0) << compared.out;

    for (const Followed& f : followers) {
        const std::string kite = std::to_string(f.satellite.kite);
        for (const char* query : {"summary", "missing"}) {
            SCOPED_TRACE("KITE-" + kite + " " + query);
            const auto of_one = run_program({TAVO_CATALOG_BINARY, "--db", one, query, "--from", "2017-03-01", "--to",
                                             "2017-03-02", "--kite", kite, "--csv"});
            const auto followed = run_program({TAVO_CATALOG_BINARY, "--db", catalog, query, "--from", "2017-03-01",
                                               "--to", "2017-03-02", "--kite", kite, "--csv"});
            ASSERT_EQ(of_one.exit_status, 0) << of_one.err;
            EXPECT_EQ(followed.out, of_one.out);
            if (std::string(query) == "missing") {
                // The dropped packet and the damaged file's images are there.
                EXPECT_NE(of_one.out.find("final_packet_missing"), std::string::npos) << of_one.out;
                EXPECT_NE(of_one.out.find(",absent"), std::string::npos) << of_one.out;
            }
        }
    }
}

}  // namespace
