// tavo_l0sim: writes simulated level-0 telemetry files of the TAVO
// instrument, as the ground system delivers them, with a manifest of every
// image for tests and demonstrations.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>

#include "command_line.h"
#include "output_file.h"
#include "sim.h"

namespace {

using namespace tavo_sim;

const std::map<std::string, FaultKind> kFaultNames = {
    {"duplicate", FaultKind::duplicate},       {"missing-final", FaultKind::missing_final},
    {"truncate", FaultKind::truncate},         {"bad-length", FaultKind::bad_length},
    {"id-repeat", FaultKind::id_repeat},       {"foreign-apid", FaultKind::foreign_apid},
    {"alias-apid", FaultKind::alias_apid},     {"bad-header-bits", FaultKind::bad_header_bits},
    {"bad-index", FaultKind::bad_index},       {"sel-bits", FaultKind::sel_bits},
    {"bit15", FaultKind::bit15},               {"gap", FaultKind::gap},
    {"damaged-file", FaultKind::damaged_file}, {"not-hdf5", FaultKind::not_hdf5},
};

constexpr const char* kFaultHelp =
    "Fault to put into the data, as NAME or NAME@K where K is the image ordinal (0-based; default the middle "
    "image of the run); may be repeated. NAME is one of:\n"
    "  duplicate        the last 5 packets of the file holding image K are repeated at the start of the next file\n"
    "  missing-final    image K's final pixel packet (kind 3) is not sent\n"
    "  truncate         the file ends in the middle of image K's second pixel packet\n"
    "  bad-length       the length field of image K's second pixel packet is 0xFFFF\n"
    "  id-repeat        image K carries the id of image K-1\n"
    "  foreign-apid     packets of identifiers 300, 901 and 1023 follow image K's header\n"
    "  alias-apid       image K's packets carry their identifier plus 1024\n"
    "  bad-header-bits  three pixel packets of image K: version 1, no secondary header, sequence flags 01\n"
    "  bad-index        extra pixel packets in image K with first = last, 4075 samples, first > last, index >= "
    "2000000\n"
    "  sel-bits         bit 14 (SEL) set on every 97th sample of image K\n"
    "  bit15            bit 15 set on every 89th sample of image K\n"
    "  gap              no data in the file span of image K, and only 2 packets in the next file\n"
    "  damaged-file     the file holding image K's header arrives damaged: the middle of its packet variable's last "
    "chunk overwritten\n"
    "  not-hdf5         the file holding image K's header arrives as text under its level-0 name";

bool parse_size(const std::string& text, int& nx, int& ny, std::string& error) {
    int a = 0, b = 0, used = 0;
    if (std::sscanf(text.c_str(), "%dx%d%n", &a, &b, &used) == 2 && used == static_cast<int>(text.size())) {
        nx = a;
        ny = b;
    } else if (std::sscanf(text.c_str(), "%d%n", &a, &used) == 1 && used == static_cast<int>(text.size())) {
        nx = ny = a;
    } else {
        error = "size '" + text + "' is not N or NXxNY";
        return false;
    }
    if (nx < 1 || ny < 1 || nx > kMaxImageSide || ny > kMaxImageSide || nx * ny < kMinSamplesPerPacket) {
        error = "size '" + text + "' must give 1 to 4096 columns and rows and at least 2 pixels";
        return false;
    }
    return true;
}

// "K:DELAY": file K (0-based) lands DELAY of simulated time late.
bool parse_late(const std::string& text, LateFile& late, std::string& error) {
    const size_t colon = text.find(':');
    const std::string number = colon == std::string::npos ? "" : text.substr(0, colon);
    char* end = nullptr;
    const long file = std::strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || file < 0 || file > 1000000) {
        error = "--late '" + text + "' is not K:DELAY with a file ordinal K";
        return false;
    }
    late.file = static_cast<int>(file);
    return parse_duration(text.substr(colon + 1), late.delay, error);
}

bool parse_fault(const std::string& text, int images, Fault& fault, std::string& error) {
    std::string name = text;
    int image = images / 2;
    size_t at = text.find('@');
    if (at != std::string::npos) {
        name = text.substr(0, at);
        std::string number = text.substr(at + 1);
        char* end = nullptr;
        long v = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || v < 0 || v > 100000000) {
            error = "fault '" + text + "' has no valid image ordinal after @";
            return false;
        }
        image = static_cast<int>(v);
    }
    auto it = kFaultNames.find(name);
    if (it == kFaultNames.end()) {
        error = "unknown fault '" + name + "' (see --help)";
        return false;
    }
    if (image >= images) {
        error = "fault " + name + " names image " + std::to_string(image) + " but the run has images 0 to " +
                std::to_string(images - 1);
        return false;
    }
    fault = {it->second, image};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "tavo_l0sim writes simulated level-0 telemetry of the TAVO instrument: NetCDF-4 files holding the "
        "CCSDS space packet stream in the variable tavo_space_packet_data, named and laid out as the ground "
        "system delivers them, and manifest.json describing every image (times, size, passband, files, spikes, "
        "pixel checksum). The same settings and seed give the same bytes.\n\n"
        "Example: tavo_l0sim --kite 16 --start 2017-03-01T12:00:00 --duration 1h --cadence 10s --file-span 6min "
        "--size 1280 --layout flat --out DIR --seed 7",
        "tavo_l0sim"};
    // An option given twice takes its last value, so scripts can override.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    Settings s;
    std::string start = "2017-03-01T12:00:00", duration = "1h", cadence = "10s", span = "6min", size = "256",
                layout = "flat";
    std::vector<std::string> faults;
    int fm = 0;
    app.add_option("--kite", s.kite, "Satellite number, 16 to 19 (names and platform attribute)")
        ->check(CLI::Range(16, 19))
        ->capture_default_str();
    app.add_option("--fm", fm, "Flight model number written into byte 18 of every packet, 0 to 127 "
                               "(default: satellite number - 15)")
        ->check(CLI::Range(0, 127));
    app.add_option("--start", start, "UTC start of the run, YYYY-MM-DDTHH:MM:SS[.fff][Z]")->capture_default_str();
    app.add_option("--duration", duration, "Length of the run: number with unit ms, s, min, h or d")
        ->capture_default_str();
    app.add_option("--cadence", cadence, "Time from one image to the next, at least 1s")->capture_default_str();
    app.add_option("--file-span", span, "Time covered by one level-0 file")->capture_default_str();
    app.add_option("--size", size, "Image size: N for N x N or NXxNY (columns x rows), up to 4096; images above "
                                   "2000000 pixels exceed what TAVO_L0 reads")
        ->capture_default_str();
    app.add_option("--layout", layout, "Directory layout: flat (all files in --out), ordinal (day directories "
                                       "K16_2017_060), calendar (K16_20170301) or mixed (the two forms on "
                                       "alternate days)")
        ->check(CLI::IsMember({"flat", "ordinal", "calendar", "mixed"}))
        ->capture_default_str();
    app.add_option("--out", s.out_dir, "Output directory (created when missing)")->required();
    app.add_option("--manifest", s.manifest_path, "Manifest path (default: OUT/manifest.json)");
    app.add_option("--seed", s.seed, "Seed of the scene, the noise, the spikes and the housekeeping values")
        ->capture_default_str();
    app.add_option("--first-id", s.first_id, "Image id of the first image; ids then grow by one")
        ->check(CLI::Range(1u, 4000000000u))
        ->capture_default_str();
    app.add_option("--dark-every", s.dark_every, "Every N-th image is a dark frame (0: none)")
        ->check(CLI::Range(0, 1000000))
        ->capture_default_str();
    app.add_option("--spike-rate", s.spike_rate, "Spikes (single-pixel hits) per pixel and image")
        ->check(CLI::Range(0.0, 0.05))
        ->capture_default_str();
    app.add_option("--samples-per-packet", s.samples_per_packet, "Pixel samples per pixel packet, 2 to 4074")
        ->check(CLI::Range(kMinSamplesPerPacket, kMaxSamplesPerPacket))
        ->capture_default_str();
    app.add_option("--deflate", s.deflate_level, "Deflate level of the packet variable, 0 (none) to 9")
        ->check(CLI::Range(0, 9))
        ->capture_default_str();
    app.add_flag("--raw", s.raw, "Write the plain packet stream (.bin files with the same names) instead of "
                                 "NetCDF-4");
    app.add_flag("--dump-pixels", s.dump_pixels, "Also write each image's pixels (big-endian 16-bit, row order, "
                                                 "before any flag bits) to OUT/pixels/image_KKKKKK.be16");
    app.add_option("--fault", faults, kFaultHelp)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::vector<std::string> late;
    app.add_flag("--live", s.live, "Deliver the files live: each is written in steps over its delivery time "
                                   "under a temporary name (.part) and renamed into place when its span has "
                                   "passed plus the delivery delay (60 s); the manifest records each file's "
                                   "delivery start and landing time");
    app.add_option("--speed", s.speed, "Live: simulated time runs N times as fast as the wall clock")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--late", late, "Live: file K (0-based, in time order) lands DELAY late, e.g. 3:10min; "
                                   "may be repeated")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::string delivery_time;
    app.add_option("--delivery-time", delivery_time, "Live: simulated time over which a file's bytes arrive, "
                                                     "ending at its landing time; at most the file span plus "
                                                     "60 s (default: the file span)");
    app.add_flag("--in-place", s.in_place_all, "Live: every file grows under its final name (.nc) instead of "
                                               "its temporary name, and is whole at its landing time");
    app.add_option("--in-place-file", s.in_place_files, "Live: file K (0-based, in time order) grows under its "
                                                        "final name; may be repeated")
        ->check(CLI::NonNegativeNumber)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.set_version_flag("--version", std::string("tavo_l0sim ") + kSimVersion);

    if (const int status = tavo_tools::parse_command_line(app, argc, argv); status >= 0) return status;

    std::string error;
    s.layout = layout == "ordinal"    ? Layout::ordinal
               : layout == "calendar" ? Layout::calendar
               : layout == "mixed"    ? Layout::mixed
                                      : Layout::flat;
    s.flight_model = app.count("--fm") ? fm : s.kite - 15;
    bool ok = parse_time(start, s.start, error) && parse_duration(duration, s.duration, error) &&
              parse_duration(cadence, s.cadence, error) && parse_duration(span, s.file_span, error) &&
              parse_size(size, s.nx, s.ny, error);
    if (ok && s.cadence < kMicrosPerSecond) {
        error = "cadence '" + cadence + "' is below 1s: image times must differ by whole seconds";
        ok = false;
    }
    if (ok && s.duration < s.cadence) {
        error = "duration '" + duration + "' is shorter than one cadence: no image would be written";
        ok = false;
    }
    const int images = ok ? static_cast<int>(s.duration / s.cadence) : 0;
    for (size_t i = 0; ok && i < faults.size(); ++i) {
        Fault f{};
        ok = parse_fault(faults[i], images, f, error);
        if (ok) s.faults.push_back(f);
    }
    for (size_t i = 0; ok && i < late.size(); ++i) {
        LateFile l{};
        ok = parse_late(late[i], l, error);
        if (ok) s.late.push_back(l);
    }
    if (ok && !delivery_time.empty()) ok = parse_duration(delivery_time, s.delivery_time, error);
    if (ok && !s.live) {
        for (const char* option : {"--late", "--delivery-time", "--in-place", "--in-place-file"}) {
            if (ok && app.count(option) > 0) {
                error = std::string(option) + " needs --live";
                ok = false;
            }
        }
    }
    // A file is made when its span begins: it cannot be sent before.
    if (ok && s.delivery_time > s.file_span + kDeliveryDelay) {
        error = "--delivery-time '" + delivery_time + "' exceeds the file span plus the delivery delay of 60 s";
        ok = false;
    }
    if (ok && static_cast<int64_t>(s.nx) * s.ny > kReaderPixelLimit)
        std::fprintf(stderr, "tavo_l0sim: note: images of %d x %d pixels exceed the %u pixels TAVO_L0 reads\n",
                     s.nx, s.ny, kReaderPixelLimit);
    if (!ok) return tavo_tools::report_failure("tavo_l0sim", "error: " + error, tavo_tools::kExitBadInput);
    if (!run_simulation(s, error)) return tavo_tools::report_failure("tavo_l0sim", "error: " + error, tavo_tools::kExitFailed);
    return tavo_tools::kExitSuccess;
}
