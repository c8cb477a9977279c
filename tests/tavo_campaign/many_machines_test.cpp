// tavo_campaign across machines: one attempt per window (the lease), stale
// leases taken over, a product file system that fills up, GNU parallel over
// a real OpenSSH server on the loopback, and a Slurm array task requeued.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <thread>

#include "campaign.h"
#include "campaign_fixture.h"

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_program;
using test_support::write_file;

namespace {

std::string host_name() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// A TAVO_L0 that waits before it runs, so that attempts overlap.
std::string slow_tavo_l0(const std::string& dir, int seconds) {
    const std::string path = dir + "/slow_tavo_l0";
    write_file(path, "#!/bin/sh\nsleep " + std::to_string(seconds) + "\nexec " + TAVO_L0_BINARY + " \"$@\"\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

void write_lease(const std::string& window_dir, const std::string& host, long pid, int64_t heartbeat) {
    write_file(campaign::lease_path(window_dir), nlohmann::json{{"host", host},
                                                                {"pid", pid},
                                                                {"token", host + "-test"},
                                                                {"started", heartbeat},
                                                                {"heartbeat", heartbeat}}
                                                     .dump());
}

// Waits up to seconds for done() to hold.
bool wait_for(int seconds, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return done();
}

// Two attempts of one window started at once: exactly one runs it.
TEST_F(CampaignTest, TwoAttemptsOfOneWindowAtOnce) {
    plan({"--window", "1h", "--tavo-l0", slow_tavo_l0(dir_.path(), 2)});
    test_support::ProgramResult first, second;
    std::thread a([&] { first = run_program({kCampaign, "task", campaign(), "1"}); });
    std::thread b([&] { second = run_program({kCampaign, "task", campaign(), "1"}); });
    a.join();
    b.join();
    const test_support::ProgramResult& refused = first.exit_status == 0 ? second : first;
    EXPECT_EQ(first.exit_status + second.exit_status, campaign::kExitRunningElsewhere) << first.err << second.err;
    EXPECT_NE(refused.err.find("tavo_campaign: window 1 is running elsewhere (" + host_name() + ", pid "),
              std::string::npos)
        << refused.err;
    auto r = campaign_command("run", {"--engine", "serial", "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    finish_ok();
}

// Leases of attempts that died are taken over: another host's whose
// heartbeat is older than the timeout, and this host's whose pid is gone.
// Another host's with a fresh heartbeat is not, and status shows the window
// running elsewhere.
TEST_F(CampaignTest, StaleLeasesAreTakenOverLiveOnesAreNot) {
    plan({"--window", "1h"});
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const int64_t now = std::time(nullptr);
    struct Case {
        std::string host;
        long pid;
        int64_t heartbeat;
        bool taken;
    } cases[] = {
        {"another-host", 4242, now - campaign::kLeaseTimeoutSeconds - 60, true},
        {"another-host", 4242, now - 10, false},
        {host_name(), gone, now, true},
    };
    const std::string window = campaign() + "/windows/0001";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + " " + std::to_string(c.heartbeat - now));
        write_lease(window, c.host, c.pid, c.heartbeat);
        auto r = run_program({kCampaign, "task", campaign(), "1"});
        const std::string holder = c.host + ", pid " + std::to_string(c.pid);
        if (c.taken) {
            EXPECT_EQ(r.exit_status, 0) << r.err;
            EXPECT_NE(read_file(window + "/tavo_l0.log").find("lease taken over from a stale attempt (" + holder),
                      std::string::npos);
            EXPECT_FALSE(fs::exists(campaign::lease_path(window)));  // released at the end
            continue;
        }
        EXPECT_EQ(r.exit_status, campaign::kExitRunningElsewhere);
        EXPECT_NE(r.err.find("running elsewhere (" + holder), std::string::npos) << r.err;
        auto status = campaign_command("status");
        EXPECT_NE(status.out.find("task    1  running elsewhere  lease held by " + holder), std::string::npos)
            << status.out;
        fs::remove(campaign::lease_path(window));
    }
    auto r = campaign_command("run", {"--engine", "serial", "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    finish_ok();
}

// The product tree on a file system that fills up during a task's moves:
// the task fails and names the cause; with room again, a rerun completes it.
TEST_F(CampaignTest, ProductFileSystemFullDuringTheMoves) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    fs::create_directories(products());
    ASSERT_EQ(mount("tmpfs", products().c_str(), "tmpfs", 0, "size=256k"), 0) << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{products()};
    plan({"--window", "1h"});
    auto r = run_program({kCampaign, "task", campaign(), "1"});
    EXPECT_EQ(r.exit_status, 2);
    auto status = campaign_command("status");
    EXPECT_NE(status.out.find("task    1  failed "), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("No space left on device"), std::string::npos) << status.out;

    ASSERT_EQ(mount("tmpfs", products().c_str(), "tmpfs", MS_REMOUNT, "size=64m"), 0) << std::strerror(errno);
    r = campaign_command("run", {"--engine", "serial", "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    finish_ok();
}

// An OpenSSH server on the loopback, with a host key and a user key made for
// the test, listening on a free port; stopped by its pid. Its client
// configuration names three logins: "live1" and "live2" reach it, "dead"
// reaches no server. GNU parallel takes them as plain names (its joblog,
// which --resume-failed reads back, holds no ssh options) through
// PARALLEL_SSH="ssh -F CONFIG".
class SshServer {
public:
    explicit SshServer(const std::string& dir) : dir_(dir) {
        fs::create_directories(dir);
        fs::create_directories("/run/sshd");  // its privilege separation directory
        for (const char* key : {"host_key", "user_key"}) {
            auto k = run_program({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir + "/" + key});
            if (k.exit_status != 0) return;
        }
        fs::copy_file(dir + "/user_key.pub", dir + "/authorized_keys");
        const int port = 20000 + getpid() % 15000 * 2 + 1;
        write_file(dir + "/sshd_config", "Port " + std::to_string(port) +
                                             "\nListenAddress 127.0.0.1\nListenAddress 127.0.0.2\nHostKey " + dir +
                                             "/host_key\nAuthorizedKeysFile " + dir +
                                             "/authorized_keys\nPermitRootLogin prohibit-password\n"
                                             "PasswordAuthentication no\nUsePAM no\nStrictModes no\nPidFile " +
                                             dir + "/sshd.pid\n");
        std::string client;
        const std::pair<const char*, std::string> logins[] = {
            {"live1", "127.0.0.1 " + std::to_string(port)},
            {"live2", "127.0.0.2 " + std::to_string(port)},
            {"dead", "127.0.0.1 " + std::to_string(port + 1)},
        };
        for (const auto& [name, where] : logins) {
            const std::string address = where.substr(0, where.find(' '));
            client += std::string("Host ") + name + "\n  HostName " + address + "\n  Port " +
                      where.substr(where.find(' ') + 1) + "\n  User root\n  IdentityFile " + dir +
                      "/user_key\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n  BatchMode yes\n"
                      "  ConnectTimeout 5\n  LogLevel ERROR\n";
        }
        write_file(dir + "/ssh_config", client);
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", (dir + "/sshd_config").c_str(), "-E",
                  (dir + "/sshd.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        up_ = wait_for(20, [&] {
            return run_program({"/usr/bin/ssh", "-F", dir_ + "/ssh_config", "live2", "true"}).exit_status == 0;
        });
        setenv("PARALLEL_SSH", ("ssh -F " + dir + "/ssh_config").c_str(), 1);
    }
    ~SshServer() {
        unsetenv("PARALLEL_SSH");
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool up() const { return up_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    bool up_ = false;
};

// GNU parallel over ssh: two logins give the tree of one run; then a login
// whose server is gone: its tasks end failed and status names them.
TEST_F(CampaignTest, ParallelOverSshWithADeadLogin) {
    if (geteuid() != 0 || !fs::exists("/usr/sbin/sshd")) GTEST_SKIP() << "needs root and OpenSSH's server";
    SshServer server(dir_ / "ssh");
    ASSERT_TRUE(server.up()) << read_file(dir_ / "ssh/sshd.log");
    const std::string live = dir_ / "live.logins";
    write_file(live, "1/live1\n1/live2\n");
    plan({"--window", "30min"});
    auto r = campaign_command("run", {"--engine", "parallel", "-j", "1", "--sshloginfile", live});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    finish_ok();

    // The same period again in a second campaign, with a login nobody answers.
    campaign_dir_ = dir_ / "campaign2";
    plan({"--window", "30min"});
    const std::string mixed = dir_ / "mixed.logins";
    write_file(mixed, "1/live1\n1/dead\n");
    r = campaign_command("run", {"--engine", "parallel", "-j", "1", "--sshloginfile", mixed});
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    auto status = campaign_command("status", {"--json"});
    const nlohmann::json tasks = nlohmann::json::parse(status.out);
    EXPECT_GT(tasks["failed"].get<int>(), 0) << status.out;
    for (const nlohmann::json& t : tasks["tasks"]) {
        if (t["state"] == "done") continue;
        EXPECT_EQ(t["state"], "failed") << t;
        EXPECT_EQ(t["exit_status"], 255) << t;
        EXPECT_EQ(t["last_line"], "the engine's job failed on dead (GNU parallel joblog)") << t;
        EXPECT_FALSE(fs::exists(campaign() + "/windows/000" + std::to_string(t["task"].get<int>()) + "/result.json"));
    }
    r = campaign_command("run", {"--engine", "parallel", "-j", "1", "--sshloginfile", live, "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    finish_ok();
}

// Slurm: --resume-failed submits an array of the failed windows alone, and an
// array task requeued while it runs neither duplicates nor loses a product.
TEST_F(CampaignTest, SlurmResumeFailedAndRequeue) {
    if (geteuid() != 0 || !fs::exists("/usr/sbin/slurmctld")) GTEST_SKIP() << "needs root and Slurm";
    SlurmCluster cluster(dir_ / "slurm", 21000);
    ASSERT_EQ(cluster.failure(), "");

    plan({"--window", "30min"});
    const std::string config = campaign() + "/windows/0003/TAVO_configuration.cfg";
    const std::string good = read_file(config);
    write_file(config, std::string(good).replace(good.find("KITE=16"), 7, "KITE=20"));
    auto r = campaign_command("run", {"--engine", "slurm", "-j", "2"});
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    write_file(config, good);
    r = campaign_command("run", {"--engine", "slurm", "-j", "2", "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(read_file(campaign() + "/logs/campaign.sbatch").find("#SBATCH --array=3%2\n"), std::string::npos);
    finish_ok();

    // A second campaign whose window 1 is requeued while TAVO_L0 runs.
    campaign_dir_ = dir_ / "campaign2";
    plan({"--window", "1h", "--tavo-l0", slow_tavo_l0(dir_.path(), 4)});
    r = campaign_command("run", {"--engine", "slurm", "-j", "2", "--no-wait"});
    ASSERT_EQ(r.exit_status, 1) << r.out << r.err;  // submitted, nothing done yet
    const size_t at = r.out.find("Submitted batch job ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string job = std::to_string(std::stol(r.out.substr(at + 20)));
    const std::string window = campaign() + "/windows/0001";
    ASSERT_TRUE(wait_for(60, [&] { return campaign::read_lease(window).has_value(); }));
    auto requeue = run_program({"/usr/bin/scontrol", "requeue", job + "_1"});
    EXPECT_EQ(requeue.exit_status, 0) << requeue.out << requeue.err;
    // Slurm holds a requeued job back for two minutes once it is pending
    // again; it may start now.
    EXPECT_TRUE(wait_for(60, [&] {
        return run_program({"/usr/bin/squeue", "-h", "-j", job + "_1", "-o", "%T"}).out == "PENDING\n";
    }));
    run_program({"/usr/bin/scontrol", "update", "JobId=" + job + "_1", "StartTime=now"});
    EXPECT_TRUE(wait_for(300, [&] { return campaign_command("status").exit_status == 0; }))
        << campaign_command("status").out;
    // The attempt Slurm started again took the killed one's lease over.
    EXPECT_NE(read_file(window + "/tavo_l0.log").find("lease taken over from a stale attempt ("), std::string::npos);
    finish_ok();
}

}  // namespace
