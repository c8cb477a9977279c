// The companions' output files, on the run's helper in src/base.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/base.h"

namespace tavo_tools {

namespace {

std::string failure(const char* what, const std::string& path) {
    return std::string("cannot ") + what + " " + printable(path) + ": " + std::strerror(errno);
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    std::vector<char> temporary(path_.size() + 64);
    const int fd = create_temporary_file(path_.c_str(), temporary.data(), temporary.size());
    if (fd < 0) {
        error_ = failure("create a file beside", path_);
        return;
    }
    temporary_ = temporary.data();
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr) {
        error_ = failure("write", temporary_);
        close(fd);
        unlink(temporary_.c_str());
        temporary_.clear();
    }
}

OutputFile::~OutputFile() {
    if (stream_ != nullptr) std::fclose(stream_);
    if (!temporary_.empty()) unlink(temporary_.c_str());
}

void OutputFile::write(std::string_view bytes) {
    if (stream_ == nullptr || failed_) return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
        failed_ = true;
        error_ = failure("write", temporary_);
    }
}

bool OutputFile::commit(bool durable) {
    if (stream_ == nullptr) return false;
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_) && (!durable || fsync(fileno(stream_)) == 0);
    if (!failed_ && !flushed) error_ = failure("write", temporary_);
    const bool closed = std::fclose(stream_) == 0;
    stream_ = nullptr;
    if (!failed_ && flushed && !closed) error_ = failure("write", temporary_);
    if (failed_ || !flushed || !closed) return false;
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        error_ = failure("write", path_);
        return false;
    }
    temporary_.clear();
    return true;
}

bool write_output_file(const std::string& path, std::string_view content, std::string& error) {
    OutputFile file(path);
    file.write(content);
    if (file.commit()) return true;
    error = file.error();
    return false;
}

int open_append_output(const std::string& path, std::string& error) {
    const int fd = open_append_file(path.c_str());
    if (fd < 0) error = failure("append to", path);
    return fd;
}

int create_output(const std::string& path, std::string& error) {
    const int fd = create_output_file(path.c_str());
    if (fd < 0) error = failure("create", path);
    return fd;
}

bool remove_leftover(const std::string& path, std::string& error) {
    if (remove_output_leftover(path.c_str())) return true;
    error = failure("remove", path);
    return false;
}

bool written_in_place(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

int open_in_place(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ELOOP ? printable(path) + " is a symbolic link: an output is never written through one"
                               : failure("write", path);
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || S_ISREG(status.st_mode)) {
        // A regular file that took the name since: it is written only under a temporary name.
        close(fd);
        errno = EEXIST;
        error = failure("write", path);
        return -1;
    }
    return fd;
}

bool write_named_output(const std::string& path, const std::function<void(FILE*)>& fill, std::string& error) {
    if (!written_in_place(path)) {
        OutputFile file(path);
        if (file.ok()) fill(file.stream());
        if (file.commit()) return true;
        error = file.error();
        return false;
    }
    const int fd = open_in_place(path, error);
    if (fd < 0) return false;
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
        error = failure("write", path);
        return false;
    }
    fill(stream);
    const bool written = std::fflush(stream) == 0 && !std::ferror(stream);
    const int cause = errno;
    if (std::fclose(stream) == 0 && written) return true;
    if (!written) errno = cause;
    error = failure("write", path);
    return false;
}

std::string printable(std::string_view name) {
    const std::string text(name.substr(0, name.find('\0')));
    std::vector<char> out(4 * text.size() + 1);
    const size_t length = escape_control_characters(text.c_str(), out.data(), out.size());
    return std::string(out.data(), length);
}

}  // namespace tavo_tools
