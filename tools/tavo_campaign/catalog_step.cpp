// finish's catalog step: the windows' audit reports and join records into
// the campaign's catalog, by the catalog's own program.
#include <filesystem>

#include "audit_report.h"
#include "campaign.h"

namespace fs = std::filesystem;

namespace campaign {

void ingest_into_catalog(const Campaign& c, nlohmann::json& summary, nlohmann::json& problems) {
    if (c.catalog.empty()) return;
    std::vector<std::string> argv = {c.catalog_program, "--db", c.catalog, "ingest"};
    // Each window's audit, then its join record (finish has written them):
    // the catalog then holds what one audit over the period would tell.
    for (const WindowPlan& w : c.windows) {
        for (const char* name : {tavo_tools::kWindowAuditName, tavo_tools::kWindowJoinName}) {
            const std::string report = c.window_directory(w.window.number) + "/" + name;
            if (fs::exists(report)) argv.push_back(report);
        }
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
