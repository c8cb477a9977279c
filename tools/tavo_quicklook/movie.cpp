// Movies through Debian's ffmpeg: the frames are linked as a numbered
// sequence in a scratch directory and encoded as H.264 MP4. ffmpeg is
// started directly, never through a shell.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "output_file.h"
#include "quicklook.h"

namespace quicklook {
namespace {

namespace fs = std::filesystem;

constexpr int kMovieSide = 512;        // frames fit this square
constexpr char kFramesPerSecond[] = "10";

// Runs argv with standard output and error into log (a descriptor); its exit status.
int run_logged(const std::vector<std::string>& argv, int log) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const int null_in = open("/dev/null", O_RDONLY);
        if (null_in < 0) _exit(127);
        dup2(null_in, 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string last_line(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) last = line;
    }
    return last;
}

}  // namespace

std::string find_ffmpeg() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = (end > begin ? dirs.substr(begin, end - begin) : ".") + "/ffmpeg";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        begin = end + 1;
    }
    return "";
}

bool write_movie(const std::string& ffmpeg, const std::vector<std::string>& frames, const std::string& movie,
                 std::string& error) {
    const fs::path scratch = movie + ".frames";
    std::error_code ec;
    fs::remove_all(scratch, ec);
    // Made here and now, so that nothing planted at the name is used.
    if (mkdir(scratch.c_str(), 0700) != 0) {
        error = "cannot create " + scratch.string() + ": " + std::strerror(errno);
        return false;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06zu.png", i);
        fs::create_symlink(fs::absolute(frames[i]), scratch / name, ec);
        if (ec) {
            error = "cannot link frame " + frames[i] + ": " + ec.message();
            fs::remove_all(scratch, ec);
            return false;
        }
    }
    const std::string log = (scratch / "ffmpeg.log").string();
    const int log_fd = tavo_tools::create_output(log, error);
    // ffmpeg writes the movie by name: a name no one can guess, beside the
    // movie, created here first and renamed onto the movie once whole.
    tavo_tools::OutputFile partial(movie);
    if (log_fd < 0 || !partial.ok()) {
        if (log_fd >= 0) {
            close(log_fd);
            error = partial.error();
        }
        fs::remove_all(scratch, ec);
        return false;
    }
    const std::string filter = "scale=" + std::to_string(kMovieSide) + ":" + std::to_string(kMovieSide) +
                               ":force_original_aspect_ratio=decrease:flags=area,"
                               "pad=ceil(iw/2)*2:ceil(ih/2)*2,format=yuv420p";
    const std::vector<std::string> argv = {ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                                           "-framerate", kFramesPerSecond, "-i", (scratch / "%06d.png").string(),
                                           "-vf", filter, "-c:v", "libx264", "-preset", "veryfast", "-crf", "23",
                                           "-movflags", "+faststart", "-f", "mp4", partial.temporary_path()};
    const int status = run_logged(argv, log_fd);
    close(log_fd);
    const bool encoded = status == 0 && fs::file_size(partial.temporary_path(), ec) > 0 && !ec;
    const bool ok = encoded && partial.commit();
    if (!encoded) {
        const std::string detail = last_line(log);
        error = "ffmpeg could not write " + movie + (detail.empty() ? "" : ": " + detail);
    } else if (!ok) {
        error = partial.error();
    }
    fs::remove_all(scratch, ec);
    return ok;
}

}  // namespace quicklook
