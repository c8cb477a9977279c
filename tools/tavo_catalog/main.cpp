// tavo_catalog: the mission catalog of TAVO_L0's audits, on SQLite.
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "command_line.h"
#include "catalog.h"
#include "metrics.h"
#include "output_file.h"

namespace {

constexpr const char* kDescription =
    "tavo_catalog keeps every audit report of TAVO_L0's windows in one SQLite file (WAL mode: one writer, many "
    "readers) and answers the questions of a month or a mission from it.\n\n"
    "Example:\n"
    "  tavo_catalog --db mission.sqlite ingest out/KITE-16/audit/*.json\n"
    "  tavo_catalog --db mission.sqlite summary --from 2017-03-01 --to 2017-03-31\n"
    "  tavo_catalog --db mission.sqlite missing --from 2017-03-01 --to 2017-03-31 --csv\n"
    "  tavo_catalog --db mission.sqlite replay --from 2017-03-01 --to 2017-03-31 --csv > replay.csv\n"
    "  tavo_catalog --db mission.sqlite reprocess --made-before 2017-06-01\n"
    "  tavo_catalog --db mission.sqlite page --from 2017-01-01 --to 2017-12-31 --out mission --metrics metrics\n"
    "  tavo_catalog --db mission.sqlite metrics --out metrics\n"
    "  tavo_catalog --db mission.sqlite check\n\n"
    "Exit status: 0 done; 2 the request could not be served (bad option, damaged catalog, a report of another "
    "schema), with one message on standard error.";

// The period options every query takes.
struct PeriodOptions {
    std::string from, to;
    int kite = 0;
};

void add_period(CLI::App* command, PeriodOptions& period) {
    command->add_option("--from", period.from, "First day, YYYY-MM-DD")->required();
    command->add_option("--to", period.to, "Last day, YYYY-MM-DD")->required();
    command->add_option("--kite", period.kite, "Satellite (default: every one)")->check(CLI::Range(16, 19));
}

int fail(const std::string& message) {
    std::fprintf(stderr, "tavo_catalog: %s\n", tavo_tools::printable(message).c_str());
    return tavo_catalog::kExitCannotRun;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "tavo_catalog"};
    app.require_subcommand(1);
    std::string database;
    bool as_json = false, as_csv = false;
    app.add_option("--db", database, "Catalog file (created by the first ingest)")->required();
    const auto add_formats = [&](CLI::App* command) {
        auto* json_flag = command->add_flag("--json", as_json, "Print JSON");
        command->add_flag("--csv", as_csv, "Print CSV")->excludes(json_flag);
    };

    std::vector<std::string> reports;
    CLI::App* ingest = app.add_subcommand("ingest", "Add audit reports (schema 2); the same report twice changes "
                                                    "nothing, a newer audit of a window replaces the older one");
    ingest->add_option("reports", reports, "tavo_l0audit JSON reports")->required();

    PeriodOptions period;
    CLI::App* summary = app.add_subcommand("summary", "Daily completeness per passband over a period");
    CLI::App* missing = app.add_subcommand("missing", "Images not written, with reasons, and absent ranges");
    CLI::App* products = app.add_subcommand("products", "Products by time, passband and frame type");
    CLI::App* replay = app.add_subcommand("replay", "Missing packet ranges per identifier with their times");
    CLI::App* page = app.add_subcommand("page", "Write the mission page (a calendar heat map and the daily losses)");
    for (CLI::App* command : {summary, missing, products, replay, page}) add_period(command, period);
    for (CLI::App* command : {summary, missing, products, replay}) add_formats(command);
    tavo_catalog::ProductFilter filter;
    products->add_option("--passband", filter.wavelength, "Passband, Angstrom");
    products->add_option("--frame-type", filter.frame_type, "LIGHT or DARK")->check(CLI::IsMember({"LIGHT", "DARK"}));
    std::string page_directory = "mission";
    page->add_option("--out", page_directory, "Directory of the page")->capture_default_str();
    std::string follower_metrics;
    page->add_option("--metrics", follower_metrics,
                     "Directory of the followers' metrics files (tavo_l0_follow_kNN.prom): the page shows their "
                     "processed-to time and the age of their last products")
        ->check(CLI::ExistingDirectory);

    std::string metrics_directory;
    CLI::App* metrics = app.add_subcommand(
        "metrics", "Completeness, replay packets and last ingest per satellite over the last 24 h and 30 days, "
                   "in the Prometheus text format");
    metrics->add_option("--out", metrics_directory,
                        "Directory of the textfile collector: writes DIR/tavo_l0_catalog.prom (default: standard "
                        "output)");

    std::string product;
    CLI::App* sources = app.add_subcommand("sources", "The level-0 files a product came from, and the run");
    sources->add_option("product", product, "Product path or file name")->required();
    add_formats(sources);

    CLI::App* check = app.add_subcommand("check", "Run the full integrity check and list what is wrong");

    tavo_catalog::ReprocessRequest reprocess_request;
    CLI::App* reprocess = app.add_subcommand(
        "reprocess", "Products made before a version or date, and those whose level-0 files changed since they "
                     "were made, as tavo_campaign plan commands");
    reprocess->add_option("--made-before", reprocess_request.made_before, "Version (1.2) or date (YYYY-MM-DD)");
    reprocess->add_option("--config", reprocess_request.config, "Configuration file the plan commands name")
        ->capture_default_str();
    add_formats(reprocess);

    if (const int status = tavo_tools::parse_command_line(app, argc, argv); status >= 0) return status;

    const tavo_catalog::Format format = as_json  ? tavo_catalog::Format::kJson
                                        : as_csv ? tavo_catalog::Format::kCsv
                                                 : tavo_catalog::Format::kText;
    tavo_catalog::Catalog catalog;
    std::string error;
    // No catalog file is made for reports that would be refused.
    struct stat existing;
    if (*ingest && lstat(database.c_str(), &existing) != 0) {
        nlohmann::json report;
        for (const std::string& path : reports)
            if (!tavo_catalog::read_report(path, report, error)) return fail(error + "; nothing changed");
    }
    if (!catalog.open(database, ingest->parsed(), error, !*check)) return fail(error);
    if (*check) {
        std::vector<std::string> problems;
        if (!catalog.check(problems, error)) return fail(error);
        for (const std::string& problem : problems) std::printf("%s\n", tavo_tools::printable(problem).c_str());
        if (!problems.empty())
            return fail(catalog.damaged("problems found by the integrity check: " + std::to_string(problems.size())));
        std::printf("catalog %s is sound\n", tavo_tools::printable(database).c_str());
        return tavo_catalog::kExitOk;
    }
    if (*ingest) {
        std::vector<tavo_catalog::IngestOutcome> outcomes;
        if (!tavo_catalog::ingest_reports(catalog, reports, outcomes, error)) return fail(error);
        for (const auto& outcome : outcomes) {
            std::printf("%s: %s, %lld images\n", tavo_tools::printable(outcome.report).c_str(),
                        outcome.result.c_str(), static_cast<long long>(outcome.images));
        }
        return tavo_catalog::kExitOk;
    }
    tavo_catalog::Period bounds;
    if (*metrics) {
        std::string text;
        if (!tavo_catalog::catalog_metrics(catalog, text, error)) return fail(error);
        if (metrics_directory.empty()) {
            if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) return fail("cannot write the metrics");
            return tavo_catalog::kExitOk;
        }
        std::error_code ignored;  // a directory that cannot be made is named by the write
        std::filesystem::create_directories(metrics_directory, ignored);
        if (!tavo_tools::write_metrics_file(metrics_directory + "/" + tavo_catalog::kCatalogMetricsFile, text, error))
            return fail(error);
        return tavo_catalog::kExitOk;
    }
    if (!*sources && !*reprocess && !tavo_catalog::make_period(period.from, period.to, period.kite, bounds, error))
        return fail(error);
    if (*page) {
        std::vector<tavo_catalog::FollowerState> followers;
        if (!follower_metrics.empty()) followers = tavo_catalog::read_follower_states(follower_metrics);
        // A damaged follower file is named here and on the page; the page is drawn all the same.
        for (const auto& follower : followers) {
            if (!follower.damage.empty())
                std::fprintf(stderr, "tavo_catalog: metrics file %s is damaged (%s); the page says so\n",
                             tavo_tools::printable(follower.file).c_str(), tavo_tools::printable(follower.damage).c_str());
        }
        std::string path;
        if (!tavo_catalog::write_mission_page(catalog, bounds, page_directory, followers, std::time(nullptr), path,
                                              error))
            return fail(error);
        std::printf("%s\n", tavo_tools::printable(path).c_str());
        return tavo_catalog::kExitOk;
    }
    tavo_catalog::Table table;
    const bool ok = *summary    ? tavo_catalog::query_summary(catalog, bounds, table, error)
                    : *missing  ? tavo_catalog::query_missing(catalog, bounds, table, error)
                    : *products ? tavo_catalog::query_products(catalog, bounds, filter, table, error)
                    : *replay   ? tavo_catalog::query_replay(catalog, bounds, table, error)
                    : *sources  ? tavo_catalog::query_sources(catalog, product, table, error)
                                : tavo_catalog::query_reprocess(catalog, reprocess_request, table, error);
    if (!ok) return fail(error);
    const std::string text = tavo_catalog::format_table(table, format);
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) return fail("cannot write the result");
    return tavo_catalog::kExitOk;
}
