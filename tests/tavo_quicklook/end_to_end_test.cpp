// tavo_quicklook on products that TAVO_L0 wrote from simulated level-0
// files with a fault: PNGs read back with PIL, the page loaded in headless
// Chromium, the movies counted with ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using test_support::read_file;
using test_support::run_program;
using test_support::TempDir;
using test_support::write_file;

constexpr int kFaultImage = 14;  // 195 A; its final packet is never sent

size_t count(const std::string& text, const std::string& pattern) {
    const std::regex re(pattern);
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// Simulated level-0 files of half an hour, processed by TAVO_L0 into out/.
json make_products(const TempDir& t) {
    const auto sim = run_program({TAVO_L0SIM_BINARY, "--out", t / "l0", "--kite", "16", "--start",
                                  "2017-03-01T12:00:00", "--duration", "30min", "--cadence", "60s", "--size", "64",
                                  "--dark-every", "7", "--seed", "3", "--fault",
                                  "missing-final@" + std::to_string(kFaultImage)});
    EXPECT_EQ(sim.exit_status, 0) << sim.err;
    test_support::make_dirs(t / "work");
    test_support::make_dirs(t / "out");
    write_file(t / "TAVO_configuration.cfg",
               "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + t / "l0" + "\nINPUT_SUBDIRECTORY=FLAT\nWORKING_DIRECTORY=" +
                   t / "work" + "\nH5DUMP_EXE=/usr/bin/h5dump\nOUTPUT_PRODUCT=x\nEVENT_OUTPUT=x\nOUTPUT_ROOT_DIRECTORY=" +
                   t / "out" + "\nDESPIKE=YES\nISP_CSV=YES\nKITE=16\nSTART=2017/03/01t12:00:00\nEND=2017/03/01t12:29:59\n");
    const auto run = run_program({TAVO_L0_BINARY}, t.path());
    EXPECT_EQ(run.exit_status, 0) << run.out;
    return json::parse(read_file(t / "l0/manifest.json"));
}

// An audit report as tavo_l0audit writes it: the faulty image, and one whose
// time is unknown.
void write_audit(const TempDir& t, const json& manifest) {
    std::string time = manifest["images"][kFaultImage]["end_of_frame"]["calendar"];
    time.pop_back();  // the Z
    const json report = {
        {"schema_version", 1},
        {"tool", "tavo_l0audit"},
        {"kite", 16},
        {"window", {{"start", "2017-03-01T12:00:00"}, {"end", "2017-03-01T12:29:59"}}},
        {"images",
         {{{"image_id", 15}, {"time", time}, {"wavelength", 195}, {"frame_type", "LIGHT"},
           {"status", "not_written"}, {"reason", "final_packet_missing"}, {"reason_text", "final packet missing"},
           {"product", nullptr}},
          {{"image_id", nullptr}, {"time", nullptr}, {"wavelength", -1}, {"frame_type", nullptr},
           {"status", "not_written"}, {"reason", "no_header_packet"}, {"reason_text", "no header packet"},
           {"product", nullptr}}}}};
    test_support::make_dirs(t / "out/KITE-16/audit");
    write_file(t / "out/KITE-16/audit/audit_20170301T120000_20170301T122959.json", report.dump(2));
}

TEST(Quicklook, PicturesPageAndMoviesOfADayWithAFault) {
    TempDir t("tavo-ql-e2e");
    const json manifest = make_products(t);
    write_audit(t, manifest);
    const auto ql = run_program({TAVO_QUICKLOOK_BINARY, "CONFIG=" + t / "TAVO_configuration.cfg"}, t.path());
    ASSERT_EQ(ql.exit_status, 0) << ql.out << ql.err;
    const std::string dir = t / "out/KITE-16/quicklook/2017/03/01";
    const std::string page = dir + "/index.html";
    EXPECT_EQ(test_support::split_lines(ql.out).back(), page);

    size_t products = 0;
    for (const json& image : manifest["images"]) products += image["complete"].get<bool>() ? 1 : 0;
    ASSERT_EQ(products, 29u);
    EXPECT_EQ(test_support::list_dir(dir + "/png").size(), products);
    EXPECT_EQ(test_support::list_dir(dir + "/thumb").size(), products);

    // On a terminal, a progress line while the pictures are made, cleared at the end.
    const auto shown = test_support::run_program_with_terminal_stderr(
        {TAVO_QUICKLOOK_BINARY, "CONFIG=" + t / "TAVO_configuration.cfg", "--no-movie", "--out", t / "again"});
    EXPECT_EQ(shown.exit_status, 0);
    EXPECT_TRUE(std::regex_search(shown.err, std::regex("picture 29 of 29, elapsed [0-9]+:[0-9]{2}:[0-9]{2}"))) << shown.err;
    EXPECT_EQ(shown.err.substr(shown.err.size() - 4), "\r\033[K");

    // The PNGs of one product, read back with PIL.
    const json& first = manifest["images"][0];
    const std::string name = "20170301_" + std::string(first["end_of_frame"]["calendar"]).substr(11, 8) + "_";
    std::string picture;
    for (const std::string& f : test_support::list_dir(dir + "/png")) {
        if (f.rfind(std::regex_replace(name, std::regex(":"), ""), 0) == 0) picture = f;
    }
    ASSERT_FALSE(picture.empty());
    const char* script = R"(
import sys
from PIL import Image
full, thumb = Image.open(sys.argv[1]), Image.open(sys.argv[2])
print(full.size, full.mode, thumb.size)
for key in ("Product", "Time", "Passband", "Frame", "Exposure", "Despike", "Scaling"):
    print(key + "=" + full.text[key])
print(thumb.text["Product"] == full.text["Product"], len(set(full.convert("RGB").getdata())) > 20)
)";
    const auto pil = run_program({"/usr/bin/python3", "-c", script, dir + "/png/" + picture, dir + "/thumb/" + picture});
    ASSERT_EQ(pil.exit_status, 0) << pil.err;
    std::string calendar = first["end_of_frame"]["calendar"];
    calendar = calendar.substr(0, 10) + " " + calendar.substr(11, 12);
    const std::string expected_head = "(64, 64) P (64, 64)\nProduct=" + picture.substr(0, picture.size() - 4) +
                                      ".fits\nTime=" + calendar + "\nPassband=131 A\nFrame=LIGHT\nExposure=2.000 s\n";
    EXPECT_EQ(pil.out.substr(0, expected_head.size()), expected_head);
    EXPECT_TRUE(std::regex_search(pil.out, std::regex("\nDespike=[0-9]+ \\(L1A nx=64 ny=64 [^\n]*\\)\n"
                                                      "Scaling=log 50 to 2000 DN/s, AIA 131 colours\nTrue True\n$")))
        << pil.out;

    // A product given by name gets the same pictures, byte for byte.
    const std::string product = t / "out/KITE-16/2017/03/01/H1200/" + picture.substr(0, picture.size() - 4) + ".fits";
    const auto named = run_program({TAVO_QUICKLOOK_BINARY, "--out", t / "named", product});
    ASSERT_EQ(named.exit_status, 0) << named.err;
    EXPECT_EQ(named.out, t / "named/png/" + picture + "\n");
    EXPECT_EQ(read_file(t / "named/png/" + picture), read_file(dir + "/png/" + picture));
    EXPECT_EQ(read_file(t / "named/thumb/" + picture), read_file(dir + "/thumb/" + picture));

    // The page in Chromium: one thumbnail per product, one gap per missing
    // image (the faulty one explained by the audit, the one without time
    // listed apart), the table built on opening, no console errors.
    const auto dom = test_support::run_chromium(t / "profile1", {"--dump-dom", "file://" + page + "#products"});
    ASSERT_EQ(dom.exit_status, 0) << dom.err;
    EXPECT_EQ(count(dom.out, "<img data-src=\"thumb/[0-9_]+\\.png\" loading=\"lazy\""), products);
    EXPECT_GT(count(dom.out, "<img data-src=\"(thumb/[0-9_]+\\.png)\"[^>]* src=\"\\1\""), 0u);  // those in view
    EXPECT_EQ(count(dom.out, "class=\"gap explained\"[^>]*data-reason=\"final_packet_missing\""), 1u);
    EXPECT_EQ(count(dom.out, "class=\"gap[ \"]"), 1u);
    EXPECT_EQ(count(dom.out, "class=\"gap-unplaced\" data-reason=\"no_header_packet\""), 1u);
    EXPECT_EQ(count(dom.out, "<tr><td><a href=\"png/[0-9_]+\\.png\""), products);
    EXPECT_NE(dom.out.find("href=\"../../../../isp/2017/03/20170301.csv\""), std::string::npos);
    EXPECT_NE(dom.out.find("href=\"../../../../audit/audit_20170301T120000_20170301T122959.json\""), std::string::npos);
    EXPECT_EQ(count(dom.err, "CONSOLE|Uncaught"), 0u) << dom.err;

    const auto shot = test_support::run_chromium(t / "profile2", {"--screenshot=" + t / "page.png", "file://" + page});
    ASSERT_EQ(shot.exit_status, 0) << shot.err;
    const auto colours = run_program({"/usr/bin/python3", "-c",
                                      "import sys\nfrom PIL import Image\n"
                                      "print(len(set(Image.open(sys.argv[1]).convert('RGB').getdata())) > 100)",
                                      t / "page.png"});
    EXPECT_EQ(colours.out, "True\n") << colours.err;

    // Movies: every light frame of the passband, and a placeholder frame for
    // the missing 195 A image.
    if (!test_support::file_exists("/usr/bin/ffprobe")) GTEST_SKIP() << "ffmpeg is not installed";
    for (const int w : {131, 195}) {
        size_t frames = w == 195 ? 1 : 0;
        for (const json& image : manifest["images"]) {
            frames += image["complete"].get<bool>() && image["passband"]["wavelength"] == w &&
                      image["frame_type"] == "LIGHT";
        }
        const auto probe = run_program({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                                        "-show_entries", "stream=nb_read_frames,width", "-of", "csv=p=0",
                                        dir + "/movie_" + std::to_string(w) + ".mp4"});
        EXPECT_EQ(probe.out, "512," + std::to_string(frames) + "\n") << w << probe.err;
    }
}

TEST(Quicklook, FailuresGiveOneMessageAndLoseNothing) {
    TempDir t("tavo-ql-fail");
    const std::string hour = t / "out/KITE-16/2017/03/01/H2300";
    test_support::make_dirs(hour);
    write_file(hour + "/20170301_235959_000_00009999.fits", "SIMPLE  = not a product");
    write_file(hour + "/20170301_235959_000_00009998.write-tmp", "");  // a write in progress is no product
    const std::string base = "--root=" + t / "out";
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{base, "--kite=16", "--day=2017-03-01", "--no-movie"}, "20170301_235959_000_00009999.fits"},
        {{base, "--kite=16", "--day=2017-03-01", "--audit=" + t / "none.json"}, "cannot open audit report"},
        {{base, "--kite=16", "--day=2017-02-30"}, "is not a date"},
        {{base, "--kite=16"}, "name the product tree, satellite and day"},
        {{"--root=" + t / "nowhere", "--kite=16", "--day=2017-03-01"}, "is not a directory"},
        {{"--out=" + t / "named", t / "absent.fits"}, "absent.fits"},
        {{"KITE=21"}, "KITE must be 16, 17, 18, or 19"},
        {{base, "--kite=16", "--day=2017-03-01", "--out=" + hour + "/20170301_235959_000_00009999.fits/q"},
         "cannot create"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {TAVO_QUICKLOOK_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto run = run_program(argv, t.path());
        SCOPED_TRACE(c.message);
        // A bad argument is bad usage (2); what the work meets is its failure (1).
        const bool bad_argument = std::string(c.message) == "is not a date" ||
                                  std::string(c.message) == "KITE must be 16, 17, 18, or 19";
        EXPECT_EQ(run.exit_status, bad_argument ? 2 : 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        // One line per failure, each naming the program: no count of one.
        for (const std::string& line : test_support::split_lines(run.err)) {
            EXPECT_EQ(line.rfind("tavo_quicklook: ", 0), 0u) << run.err;
            EXPECT_EQ(line.find("could not be read"), std::string::npos) << run.err;
        }
    }
    // The unreadable product is named on the page, which is still written.
    const std::string page = read_file(t / "out/KITE-16/quicklook/2017/03/01/index.html");
    EXPECT_NE(page.find("20170301_235959_000_00009999.fits"), std::string::npos);
    EXPECT_EQ(page.find("00009998"), std::string::npos);
}

}  // namespace

namespace {

// --new-only: a second page of the same day draws nothing again and lists
// the same products with the same scaling; a product written again (a
// newer file) is drawn again, alone.
TEST(Quicklook, NewOnlyDrawsOnlyWhatChanged) {
    TempDir t("tavo-quicklook-new-only");
    make_products(t);
    const std::vector<std::string> argv = {TAVO_QUICKLOOK_BINARY, "--root", t / "out", "--kite", "16", "--day",
                                           "2017-03-01", "--no-movie", "--new-only"};
    ASSERT_EQ(run_program(argv).exit_status, 0);
    const std::string day = t / "out/KITE-16/quicklook/2017/03/01";
    const std::string page = read_file(day + "/index.html");
    std::vector<fs::path> pictures;
    for (const auto& e : fs::directory_iterator(day + "/png")) pictures.push_back(e.path());
    std::sort(pictures.begin(), pictures.end());
    ASSERT_GE(pictures.size(), 2u);
    // Products written two hours ago, drawn one hour ago; one written again now.
    const auto now = fs::file_time_type::clock::now();
    const auto past = now - std::chrono::hours(1);
    for (const auto& e : fs::recursive_directory_iterator(t / "out/KITE-16/2017")) {
        if (e.is_regular_file()) fs::last_write_time(e.path(), now - std::chrono::hours(2));
    }
    for (const auto& e : fs::recursive_directory_iterator(day)) fs::last_write_time(e.path(), past);
    const std::string product = t / ("out/KITE-16/2017/03/01/H1200/" + pictures[0].stem().string() + ".fits");
    fs::last_write_time(product, now);

    ASSERT_EQ(run_program(argv).exit_status, 0);
    EXPECT_EQ(read_file(day + "/index.html"), page);
    EXPECT_GT(fs::last_write_time(pictures[0]), past);
    for (size_t i = 1; i < pictures.size(); ++i) EXPECT_EQ(fs::last_write_time(pictures[i]), past) << pictures[i];
}

}  // namespace
