// The dump: the level-0 reader's bytes into a temporary file, renamed when done.
#include "dump.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "layout/layout.h"
#include "level0_reader.h"
#include "output_file.h"

namespace tavo_l0dump {

namespace {

constexpr size_t kWriteBufferBytes = 4u << 20;  // small pieces gathered per write
constexpr size_t kDirectWriteBytes = 1u << 20;  // pieces written as they come, without a copy
constexpr char kTemporaryStem[] = ".dump";       // the temporary name is output + stem + "-tmp"

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

// The output file while it is written: a temporary file, created afresh
// (never through a link or a leftover at its name), that becomes the output
// only through publish(); dropped on every other path. An output that is a
// device or a pipe (/dev/null) is written as it is, since a file renamed over
// it would replace it; a link standing at the output's name is refused.
class OutputFile {
public:
    ~OutputFile();
    bool create(const std::string& path, std::string& error);
    bool write(const uint8_t* bytes, size_t count, std::string& error);
    // Writes what is buffered, closes and renames to the output path.
    bool publish(std::string& error);
    bool write_failed() const { return write_failed_; }
    uint64_t bytes() const { return bytes_; }

private:
    bool write_through(const uint8_t* bytes, size_t count, std::string& error);
    bool flush(std::string& error);

    std::string path_;
    std::string temporary_;  // the path written: the temporary file, or the output itself
    bool in_place_ = false;  // the output is written as it is, not renamed
    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    bool write_failed_ = false;
    uint64_t bytes_ = 0;  // accepted so far, buffered or written
};

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        close(fd_);
        if (!in_place_) unlink(temporary_.c_str());
    }
}

bool OutputFile::create(const std::string& path, std::string& error) {
    path_ = path;
    in_place_ = tavo_tools::written_in_place(path);
    temporary_ = in_place_ ? path : path + kTemporaryStem + kTemporaryNameEnd;
    fd_ = in_place_ ? tavo_tools::open_in_place(path, error) : tavo_tools::create_output(temporary_, error);
    if (fd_ < 0) return false;
    buffer_.reserve(kWriteBufferBytes);
    return true;
}

bool OutputFile::write_through(const uint8_t* bytes, size_t count, std::string& error) {
    while (count > 0) {
        const ssize_t written = ::write(fd_, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            write_failed_ = true;
            return fail(error, "cannot write " + temporary_ + ": " + std::strerror(written < 0 ? errno : ENOSPC));
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::flush(std::string& error) {
    const bool ok = write_through(buffer_.data(), buffer_.size(), error);
    buffer_.clear();
    return ok;
}

bool OutputFile::write(const uint8_t* bytes, size_t count, std::string& error) {
    bytes_ += count;
    if (count >= kDirectWriteBytes) return flush(error) && write_through(bytes, count, error);
    if (buffer_.size() + count > kWriteBufferBytes && !flush(error)) return false;
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    return true;
}

bool OutputFile::publish(std::string& error) {
    if (!flush(error)) return false;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        write_failed_ = true;
        if (!in_place_) unlink(temporary_.c_str());
        return fail(error, "cannot write " + temporary_ + ": " + std::strerror(errno));
    }
    if (!in_place_ && std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        write_failed_ = true;
        const int cause = errno;
        unlink(temporary_.c_str());
        return fail(error, "cannot rename " + temporary_ + " to " + path_ + ": " + std::strerror(cause));
    }
    return true;
}

}  // namespace

bool dump_dataset(const std::string& input, const std::string& dataset, const std::string& output,
                  std::string& error) {
    OutputFile out;
    if (!out.create(output, error)) return false;
    tavo_level0::Dataset source;
    std::string read_error;
    const bool read = tavo_level0::open_dataset(input, dataset, source, read_error) &&
                      tavo_level0::stream_dataset(
                          source,
                          [&out](const uint8_t* bytes, size_t count, std::string& sink_error) {
                              return out.write(bytes, count, sink_error);
                          },
                          read_error);
    if (out.write_failed()) return fail(error, read_error);
    // What was read before a failure is kept: whole chunks, in order.
    if (!out.publish(error)) return false;
    if (read) return true;
    error = read_error;
    if (out.bytes() > 0) error += "; " + output + " holds the " + std::to_string(out.bytes()) + " bytes before it";
    return false;
}

}  // namespace tavo_l0dump
