// A quicklook run: the pictures, page and movies of each day, or the
// pictures of products given by name.
#include <fitsio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "driver/driver.h"
#include "layout/layout.h"
#include "quicklook.h"
#include "time/time.h"
#include "output_file.h"
#include "command_line.h"

namespace quicklook {
namespace {

namespace fs = std::filesystem;


// One line on standard error, redrawn in place, while it is a terminal.
class Progress {
public:
    explicit Progress(std::string what) : what_(std::move(what)), on_(isatty(2) == 1) {}
    ~Progress() {
        if (on_ && shown_) std::fprintf(stderr, "\r\033[K");
    }
    void show(size_t done, size_t total) {
        if (!on_) return;
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_);
        const long s = static_cast<long>(elapsed.count());
        std::fprintf(stderr, "\r\033[K%s: picture %zu of %zu, elapsed %ld:%02ld:%02ld", what_.c_str(), done, total,
                     s / 3600, s / 60 % 60, s % 60);
        shown_ = true;
    }

private:
    std::string what_;
    bool on_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// target as a link from a page in directory from.
std::string relative_link(const fs::path& target, const fs::path& from) {
    std::error_code ec;
    const fs::path t = fs::weakly_canonical(fs::absolute(target), ec);
    const fs::path f = fs::weakly_canonical(fs::absolute(from), ec);
    const fs::path link = t.lexically_relative(f);
    return link.empty() ? t.string() : link.generic_string();
}

// One message on standard error, its names with their control characters escaped.
void print_error(const std::string& message) {
    std::fprintf(stderr, "tavo_quicklook: %s\n", tavo_tools::printable(message).c_str());
}

bool make_output_directories(const fs::path& out, std::string& error) {
    std::error_code ec;
    for (const char* sub : {"png", "thumb"}) {
        fs::create_directories(out / sub, ec);
        if (ec) {
            error = "cannot create " + (out / sub).string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

// Reads a product and writes its picture and thumbnail into out.
// pixels and set are buffers reused from product to product.
bool picture_product(const std::string& path, const fs::path& out, ProductInfo& info, std::string& scaling,
                     std::vector<int16_t>& pixels, PictureSet& set, std::string& error) {
    if (!read_product(path, info, &pixels, error)) return false;
    make_pictures(info, pixels, set);
    const auto text = picture_text(info, set);
    scaling = set.scaling_text;
    // The full picture is stored uncompressed: zlib would take three
    // quarters of the picture's time; the thumbnail is compressed.
    return write_png((out / "png" / (info.name + ".png")).string(), set.full, text, error, false) &&
           write_png((out / "thumb" / (info.name + ".png")).string(), set.thumbnail, text, error);
}

struct PictureResult {
    ProductInfo info;
    std::string scaling;
    std::string error;  // set when the product could not be pictured
};

// The scaling text of each picture of a day, kept beside them so that a page
// can list a product without drawing it again: "name<TAB>scaling" lines.
constexpr const char* kScalingFile = "scaling.tsv";
using ScalingCache = std::map<std::string, std::string>;

ScalingCache read_scaling_cache(const fs::path& out) {
    ScalingCache cache;
    std::ifstream in(out / kScalingFile);
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos) cache[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return cache;
}

bool write_scaling_cache(const fs::path& out, const std::vector<PictureResult>& results, std::string& error) {
    std::string text;
    for (const PictureResult& r : results) {
        if (r.error.empty()) text += r.info.name + "\t" + r.scaling + "\n";
    }
    return tavo_tools::write_output_file((out / kScalingFile).string(), text, error);
}

// The product's pictures exist and are not older than it.
bool pictures_up_to_date(const std::string& product, const fs::path& out) {
    std::error_code ec;
    const std::string png = fs::path(product).stem().string() + ".png";
    const auto made = fs::last_write_time(product, ec);
    if (ec) return false;
    for (const char* kind : {"png", "thumb"}) {
        const auto picture = fs::last_write_time(out / kind / png, ec);
        if (ec || picture < made) return false;
    }
    return true;
}

// The pictures of every path, made by up to jobs threads (CFITSIO, libpng and
// zlib keep their state per file); results in the order of paths.
// Products in cached with up-to-date pictures are only read (their header).
std::vector<PictureResult> picture_products(const std::vector<std::string>& paths, const fs::path& out, int jobs,
                                            const std::string& what, const ScalingCache& cached = {}) {
    std::vector<PictureResult> results(paths.size());
    std::atomic<size_t> next{0}, done{0};
    Progress progress(what);
    auto work = [&](bool shows_progress) {
        std::vector<int16_t> pixels;
        PictureSet set;
        for (size_t i = next++; i < paths.size(); i = next++) {
            PictureResult& r = results[i];
            const auto known = cached.find(fs::path(paths[i]).stem().string());
            const bool drawn_before = known != cached.end() && pictures_up_to_date(paths[i], out);
            if (drawn_before && read_product(paths[i], r.info, nullptr, r.error)) {
                r.scaling = known->second;
            } else {
                r.error.clear();
                if (!picture_product(paths[i], out, r.info, r.scaling, pixels, set, r.error) && r.error.empty()) {
                    r.error = paths[i] + ": not pictured";
                }
            }
            const size_t count = ++done;
            if (shows_progress) progress.show(count, paths.size());
        }
    };
    const size_t threads = std::min(paths.size(), static_cast<size_t>(std::max(1, fits_is_reentrant() ? jobs : 1)));
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work, false);
    work(true);
    for (std::thread& h : helpers) h.join();
    if (!paths.empty()) progress.show(paths.size(), paths.size());  // a helper may have made the last
    return results;
}

// Log files that name a product of the day.
std::vector<std::string> day_logs(const std::string& root, int kite, uint32_t day) {
    const std::string needle = kite_name(kite) + "/" + day_text(day, "/") + "/";
    std::vector<std::string> logs;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(root) / kLogDirectoryName, ec)) {
        if (entry.path().extension() != ".log") continue;
        std::ifstream in(entry.path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find(needle) != std::string::npos) logs.push_back(entry.path().string());
    }
    std::sort(logs.begin(), logs.end());
    return logs;
}

// One movie per passband: the light frames in time order, with the
// placeholder wherever the timeline has a gap.
bool write_day_movies(const Options& options, const fs::path& out, DayPage& page) {
    if (!options.movies) {
        page.movie_note = "not made (--no-movie)";
        return true;
    }
    const std::string ffmpeg = options.ffmpeg.empty() ? find_ffmpeg() : options.ffmpeg;
    if (ffmpeg.empty()) {
        page.movie_note = "not made: ffmpeg is not installed";
        std::fprintf(stderr, "tavo_quicklook: note: ffmpeg is not installed, no movies\n");
        return true;
    }
    std::map<int, std::vector<std::pair<double, std::string>>> frames;
    std::map<int, std::pair<int, int>> sizes;
    for (const ProductInfo& p : page.products) {
        if (p.dark || p.wavelength <= 0) continue;
        frames[p.wavelength].push_back({p.time, (out / "png" / (p.name + ".png")).string()});
        sizes.emplace(p.wavelength, std::make_pair(p.nx, p.ny));
    }
    bool ok = true;
    for (auto& [w, list] : frames) {
        const std::string placeholder = (out / ("missing_" + std::to_string(w) + ".png")).string();
        std::string error;
        bool gaps = false;
        for (const Gap& g : page.gaps) {
            if (g.wavelength == w && g.time >= 0) {
                list.push_back({g.time, placeholder});
                gaps = true;
            }
        }
        if (gaps && !write_png(placeholder, placeholder_picture(sizes[w].first, sizes[w].second),
                               {{"Title", "missing image"}, {"Software", "tavo_quicklook"}}, error)) {
            print_error(error);
            ok = false;
            continue;
        }
        std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<std::string> paths;
        for (const auto& [t, path] : list) paths.push_back(path);
        const std::string name = "movie_" + std::to_string(w) + ".mp4";
        if (!write_movie(ffmpeg, paths, (out / name).string(), error)) {
            print_error(error);
            page.movie_note = "some movies failed: " + error;
            ok = false;
            continue;
        }
        page.movies.push_back({w, name});
    }
    return ok;
}

bool load_day_audit(const Options& options, uint32_t day, Audit& audit, bool& found) {
    const std::string path = options.audit.empty() ? find_day_audit(options.root, options.kite, day) : options.audit;
    found = !path.empty();
    if (!found) return true;
    std::string error;
    if (!read_audit(path, audit, error)) {
        print_error(error);
        return false;
    }
    return true;
}

int quicklook_day(const Options& options, uint32_t day, const fs::path& out) {
    std::string error;
    if (!make_output_directories(out, error)) {
        print_error(error);
        return 1;
    }
    DayPage page;
    page.day = day;
    page.kite = options.kite;
    bool ok = true;
    const std::vector<std::string> paths = list_day_products(options.root, options.kite, day);
    const ScalingCache cached = options.new_only ? read_scaling_cache(out) : ScalingCache{};
    std::vector<PictureResult> results =
        picture_products(paths, out, options.jobs, "tavo_quicklook " + day_text(day, "/"), cached);
    if (!write_scaling_cache(out, results, error)) {
        print_error(error);
        return 1;
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const PictureResult& a, const PictureResult& b) { return a.info.time < b.info.time; });
    for (PictureResult& r : results) {
        if (!r.error.empty()) {
            print_error(r.error);
            page.unreadable.push_back(r.error);
            ok = false;
            continue;
        }
        page.products.push_back(std::move(r.info));
        page.scaling.push_back(std::move(r.scaling));
    }

    Audit audit;
    bool have_audit = false;
    if (!load_day_audit(options, day, audit, have_audit)) return 1;
    if (have_audit) page.audit_link = relative_link(audit.path, out);
    page.gaps = find_gaps(page.products, have_audit ? &audit : nullptr, day);

    char csv_relative[64];
    format_csv_path(options.kite, day, '/', csv_relative, sizeof csv_relative);
    const fs::path csv = fs::path(options.root) / csv_relative;
    if (fs::exists(csv)) page.csv_link = relative_link(csv, out);
    for (const std::string& log : day_logs(options.root, options.kite, day)) {
        page.log_links.push_back(relative_link(log, out));
    }
    ok = write_day_movies(options, out, page) && ok;

    const std::string index = (out / "index.html").string();
    if (!tavo_tools::write_output_file(index, day_page_html(page), error)) {
        print_error(error);
        return 1;
    }
    std::printf("%s: %zu product%s, %zu missing image%s, %zu movie%s\n", day_text(day, "/").c_str(),
                page.products.size(), page.products.size() == 1 ? "" : "s", page.gaps.size(),
                page.gaps.size() == 1 ? "" : "s", page.movies.size(), page.movies.size() == 1 ? "" : "s");
    std::printf("%s\n", tavo_tools::printable(fs::absolute(index).lexically_normal().string()).c_str());
    std::fflush(stdout);
    if (page.unreadable.size() > 1) {  // each was named above; one needs no count
        std::fprintf(stderr, "tavo_quicklook: %zu products of %s could not be read\n", page.unreadable.size(),
                     day_text(day, "/").c_str());
    }
    return ok ? 0 : 1;
}

int quicklook_files(const Options& options) {
    const fs::path out = options.out.empty() ? fs::path("quicklook") : fs::path(options.out);
    std::string error;
    if (!make_output_directories(out, error)) {
        print_error(error);
        return 1;
    }
    size_t failed = 0;
    for (const PictureResult& r : picture_products(options.files, out, options.jobs, "tavo_quicklook")) {
        if (!r.error.empty()) {
            print_error(r.error);
            ++failed;
            continue;
        }
        std::printf("%s\n", tavo_tools::printable((out / "png" / (r.info.name + ".png")).string()).c_str());
    }
    // One product's own line says it all; of several, how many failed too.
    if (failed > 0 && options.files.size() > 1) {
        std::fprintf(stderr, "tavo_quicklook: %zu of %zu products could not be read\n", failed, options.files.size());
    }
    return failed > 0 ? 1 : 0;
}

}  // namespace

uint32_t parse_day(const std::string& text) {
    unsigned y = 0, m = 0, d = 0;
    int used = 0;
    const char separator = text.size() > 4 ? text[4] : '-';
    const std::string format = std::string("%4u") + separator + "%2u" + separator + "%2u%n";
    if ((separator != '-' && separator != '/') || std::sscanf(text.c_str(), format.c_str(), &y, &m, &d, &used) != 3 ||
        used != static_cast<int>(text.size()) || text.size() != 10) {
        return 0;
    }
    const uint32_t day = y * 10000 + m * 100 + d;
    uint32_t check_date = 0, check_time = 0;
    if (!shift_date_time(day, 0, 0, DATE_FORM_CALENDAR, check_date, check_time) || check_date != day) return 0;
    return day;
}

bool options_from_parameters(const std::vector<std::string>& parameters, Options& options, std::string& error) {
    std::vector<std::string> args = {"tavo_quicklook"};
    args.insert(args.end(), parameters.begin(), parameters.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    char message[kRunMessageCapacity] = "";
    if (!parse_parameters(static_cast<int>(argv.size()), argv.data(), message)) {
        error = message;
        return false;
    }
    const char* root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    if (options.root.empty()) options.root = root;
    const std::string kite = run_settings.param_text[PARAM_KITE];
    if (options.kite == 0 && !kite.empty()) {
        if (!tavo_tools::parse_kite(kite, options.kite, error)) return false;
    }
    if (options.first_day == 0 && run_settings.param_text[PARAM_START][0] != '\0') {
        // A START alone names one day.
        if (run_settings.param_text[PARAM_END][0] == '\0') {
            std::snprintf(run_settings.param_text[PARAM_END], kValueSlot, "%s", run_settings.param_text[PARAM_START]);
        }
        if (!parse_time_window(message)) {
            error = message;
            return false;
        }
        options.first_day = run_settings.start_date;
        options.last_day = run_settings.end_date;
    }
    return true;
}

int run_quicklook(const Options& options) {
    if (!options.files.empty()) return quicklook_files(options);
    if (options.root.empty() || options.kite == 0 || options.first_day == 0) {
        std::fprintf(stderr,
                     "tavo_quicklook: name the product tree, satellite and day (OUTPUT_ROOT_DIRECTORY, KITE and "
                     "START, or --root, --kite and --day), or products by name\n");
        return 1;
    }
    if (!fs::is_directory(options.root)) {
        print_error("product tree " + options.root + " is not a directory");
        return 1;
    }
    const uint32_t last = std::max(options.first_day, options.last_day);
    int status = 0;
    uint32_t day = options.first_day;
    while (true) {
        fs::path out = fs::path(options.root) / kite_name(options.kite) / "quicklook" / day_text(day, "/");
        if (!options.out.empty()) {
            out = options.first_day == last ? fs::path(options.out) : fs::path(options.out) / day_text(day, "/");
        }
        status = std::max(status, quicklook_day(options, day, out));
        if (day >= last) break;
        if (!next_day(day, day)) break;
    }
    return status;
}

}  // namespace quicklook
