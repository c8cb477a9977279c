// tavo_campaign: reprocesses a period of any length as many TAVO_L0 runs on
// GNU parallel, a Slurm job array or one core, every image exactly once.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "command_line.h"
#include "campaign.h"

namespace {

constexpr const char* kDescription =
    "tavo_campaign reprocesses a period of any length with TAVO_L0 as many windows, run on an existing engine.\n\n"
    "Example, March 2017 of KITE-16 by day on a workstation's cores:\n"
    "  tavo_campaign plan --dir march --config TAVO_configuration.cfg --kite 16 --from 2017/03/01 --to 2017/03/31\n"
    "  tavo_campaign run --dir march --engine parallel -j 8\n"
    "  tavo_campaign status --dir march\n"
    "  tavo_campaign run --dir march --engine parallel -j 8 --resume-failed\n"
    "  tavo_campaign finish --dir march\n\n"
    "Following files as they land (until SIGTERM or SIGINT):\n"
    "  tavo_campaign follow --dir live --config TAVO_configuration.cfg --poll 10s\n";

std::string self_path(const char* argv0) {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::absolute(argv0).string() : exe.string();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "tavo_campaign"};
    app.require_subcommand(1);
    std::string directory;

    campaign::PlanRequest plan;
    CLI::App* plan_cmd = app.add_subcommand("plan", "Write the campaign directory: one configuration per window and the task list");
    plan_cmd->add_option("--dir", plan.directory, "Campaign directory")->required();
    plan_cmd->add_option("--config", plan.config, "Base TAVO_L0 configuration file")->required();
    plan_cmd->add_option("--kite", plan.kite, "Satellite (default: the configuration's KITE)")
        ->check(CLI::Range(16, 19));
    plan_cmd->add_option("--from", plan.from, "First instant, as START (default: the configuration's START)");
    plan_cmd->add_option("--to", plan.to, "Last instant, as END (default: the configuration's END)");
    plan_cmd->add_option("--window", plan.window, "Window length: number and unit s, min, h or d")
        ->capture_default_str();
    plan_cmd->add_option("--bounds", plan.bounds, "Inner window bounds instead of a length (uneven windows), as START")
        ->delimiter(',')
        ->allow_extra_args(false);
    plan_cmd->add_option("--tavo-l0", plan.tavo_l0, "TAVO_L0 program (default: beside tavo_campaign)");
    plan_cmd->add_option("--audit", plan.audit, "tavo_l0audit program (default: beside tavo_campaign, when built)");
    plan_cmd->add_flag("--no-audit", plan.no_audit, "Do not audit the windows");
    plan_cmd->add_option("--catalog", plan.catalog,
                         "SQLite catalog (tavo_catalog) that finish ingests the windows' audit reports into");
    plan_cmd->add_option("overrides", plan.overrides, "PARAM=value overrides of the configuration");

    campaign::RunRequest run;
    std::string engine = "serial";
    CLI::App* run_cmd = app.add_subcommand("run", "Run the tasks on an engine; prints the command it runs");
    run_cmd->add_option("--dir", run.directory, "Campaign directory")->required();
    run_cmd->add_option("--engine", engine, "serial, parallel (GNU parallel) or slurm (sbatch job array)")
        ->check(CLI::IsMember({"serial", "parallel", "slurm"}))
        ->capture_default_str();
    run_cmd->add_option("-j,--jobs", run.jobs, "Tasks at once (parallel -j, Slurm array throttle %N)")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    run_cmd->add_option("--sshloginfile", run.sshloginfile, "GNU parallel: the machines to run on");
    run_cmd->add_flag("--resume-failed", run.resume_failed, "Run only the tasks that did not complete");
    run_cmd->add_option("--slurm-option", run.slurm_options, "Another sbatch option, e.g. --partition=batch")
        ->allow_extra_args(false);
    run_cmd->add_flag("!--no-wait", run.wait, "Slurm: submit and return without waiting");

    bool as_json = false;
    CLI::App* status_cmd = app.add_subcommand("status", "Tasks done, failed and pending");
    status_cmd->add_option("--dir", directory, "Campaign directory")->required();
    status_cmd->add_flag("--json", as_json, "Print JSON");
    std::string status_metrics;
    status_cmd->add_option("--metrics", status_metrics,
                           "Also write the windows by state to DIR/tavo_l0_campaign_NAME.prom (node exporter)");

    CLI::App* finish_cmd = app.add_subcommand("finish", "Check the joins, write the daily CSV tables, merge the audits");
    finish_cmd->add_option("--dir", directory, "Campaign directory")->required();

    campaign::FollowRequest follow;
    CLI::App* follow_cmd = app.add_subcommand(
        "follow", "Follow level-0 files as they land: run each next window, re-run windows a late file lands in");
    follow_cmd->add_option("--dir", follow.plan.directory, "Campaign directory (created on the first start)")
        ->required();
    follow_cmd->add_option("--config", follow.plan.config, "Base TAVO_L0 configuration file")->required();
    follow_cmd->add_option("--lag", follow.lag, "Settle time: a file is taken once unmodified this long")
        ->capture_default_str();
    follow_cmd->add_option("--poll", follow.poll, "Time between cycles")->capture_default_str();
    follow_cmd->add_option("--until", follow.until, "Stop once processed to this instant, as END (default: follow "
                                                    "until SIGTERM or SIGINT)");
    follow_cmd->add_option("--from", follow.plan.from, "First instant, as START (default: the configuration's START)");
    follow_cmd->add_option("--kite", follow.plan.kite, "Satellite (default: the configuration's KITE)")
        ->check(CLI::Range(16, 19));
    follow_cmd->add_option("--tavo-l0", follow.plan.tavo_l0, "TAVO_L0 program (default: beside tavo_campaign)");
    follow_cmd->add_option("--audit", follow.plan.audit,
                           "tavo_l0audit program (default: beside tavo_campaign, when built)");
    follow_cmd->add_flag("--no-audit", follow.plan.no_audit, "Do not audit the windows");
    follow_cmd->add_option("--catalog", follow.plan.catalog, "SQLite catalog each window's audit is ingested into");
    follow_cmd->add_flag("!--no-quicklook", follow.quicklook, "Do not update the day pages");
    follow_cmd->add_flag("--once", follow.once, "Run one cycle and return (from cron, or to catch up)");
    follow_cmd
        ->add_option("--metrics", follow.metrics,
                     "Directory of the node exporter's textfile collector: tavo_l0_follow_kNN.prom is written "
                     "there after every cycle")
        ->envname("TAVO_METRICS_DIRECTORY");
    follow_cmd->add_flag("!--no-early", follow.early,
                         "Write no image past E before the next file lands (by default the images whose packets "
                         "are all in are written at once and their window runs again to its E later)");
    follow_cmd->add_option("overrides", follow.plan.overrides, "PARAM=value overrides of the configuration");

    int task_number = 0;
    CLI::App* task_cmd = app.add_subcommand("task", "Run one window (the engines call this)");
    task_cmd->add_option("directory", directory, "Campaign directory")->required();
    task_cmd->add_option("number", task_number, "Window number")->required();

    if (const int status = tavo_tools::parse_command_line(app, argc, argv); status >= 0) return status;

    try {
        if (*plan_cmd) {
            plan.self = self_path(argv[0]);
            const campaign::Campaign c = campaign::plan_campaign(plan);
            for (const campaign::WindowPlan& w : c.windows) {
                std::printf("window %4d  %s .. %s  %d input files%s\n", w.window.number,
                            campaign::instant_text(w.window.start).c_str(),
                            campaign::instant_text(w.window.end).c_str(), w.input_files,
                            w.input_files == 0 ? " (nothing to do)" : "");
            }
            std::printf("%zu windows planned in %s; task list %s\n", c.windows.size(), c.directory.c_str(),
                        c.tasks_file().c_str());
            return 0;
        }
        if (*run_cmd) {
            run.engine = engine == "parallel" ? campaign::Engine::parallel
                         : engine == "slurm"  ? campaign::Engine::slurm
                                              : campaign::Engine::serial;
            return campaign::run_campaign(run);
        }
        if (*status_cmd) {
            const campaign::Campaign c = campaign::load_campaign(directory);
            const auto tasks = campaign::campaign_status(c);
            std::fputs(campaign::status_text(tasks, as_json).c_str(), stdout);
            std::fputs(campaign::follow_status_text(c, as_json).c_str(), stdout);
            if (!status_metrics.empty()) campaign::write_status_metrics(c, tasks, status_metrics);
            for (const auto& t : tasks) {
                if (t.state != "done") return 1;
            }
            return 0;
        }
        if (*finish_cmd) {
            const nlohmann::json summary = campaign::finish_campaign(directory);
            std::printf("%zu products in %zu windows, %zu joins checked; summary %s/summary.json\n",
                        summary["products"].get<size_t>(), summary["windows"].get<size_t>(), summary["joins"].size(),
                        directory.c_str());
            std::printf("CSV tables: %s\n", summary["csv"].is_string() ? summary["csv"].get<std::string>().c_str() : "");
            if (summary["audit"].is_string()) {
                std::printf("Audit: %s\n", summary["audit"].get<std::string>().c_str());
            } else {
                std::printf("Audit: %ld images, %ld written, %ld not written\n", summary["audit"]["images"].get<long>(),
                            summary["audit"]["written"].get<long>(), summary["audit"]["not_written"].get<long>());
            }
            if (summary.contains("catalog")) {
                std::printf("Catalog: %s\n", summary["catalog"].value("result", "").c_str());
            }
            for (const auto& t : campaign::campaign_status(campaign::load_campaign(directory))) {
                for (const std::string& d : t.damaged) std::printf("Damaged input: %s (window %d)\n", d.c_str(), t.number);
            }
            for (const auto& p : summary["problems"]) std::printf("PROBLEM: %s\n", p.get<std::string>().c_str());
            return summary["ok"].get<bool>() ? 0 : 1;
        }
        if (*follow_cmd) {
            follow.plan.self = self_path(argv[0]);
            return campaign::follow_campaign(follow);
        }
        return campaign::run_task(directory, task_number);
    } catch (const campaign::CampaignError& e) {
        std::fprintf(stderr, "tavo_campaign: %s\n", e.what());
        return 2;
    }
}
