// finish's catalog step: the windows' audit reports into the campaign's
// catalog, by the catalog's own program.
#include <filesystem>

#include "audit_report.h"
#include "campaign.h"

namespace fs = std::filesystem;

namespace campaign {

void ingest_into_catalog(const Campaign& c, nlohmann::json& summary, nlohmann::json& problems) {
    if (c.catalog.empty()) return;
    std::vector<std::string> argv = {c.catalog_program, "--db", c.catalog, "ingest"};
    for (const WindowPlan& w : c.windows) {
        const std::string report = c.window_directory(w.window.number) + "/" + tavo_tools::kWindowAuditName;
        if (fs::exists(report)) argv.push_back(report);
    }
    const std::string log = c.logs_directory() + "/catalog.log";
    if (argv.size() == 4) {
        summary["catalog"] = {{"path", c.catalog}, {"result", "no audit report to ingest"}};
        return;
    }
    const int status = run_program(argv, log);
    const std::string result = status == 0 ? std::to_string(argv.size() - 4) + " reports ingested into " + c.catalog
                                            : "tavo_catalog failed (exit status " + std::to_string(status) +
                                                  "), see " + log;
    summary["catalog"] = {{"path", c.catalog}, {"result", result}, {"exit_status", status}};
    if (status != 0) problems.push_back("catalog ingest: " + result);
}

}  // namespace campaign
