// Output files created so that nothing planted at their names is followed:
// exclusive creation without following a link, a leftover removed (never
// its target), and a rename that publishes the finished file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/base.h"

namespace {

// Creation attempts before a name that keeps reappearing is given up.
constexpr int kCreateAttempts = 8;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// Never blocks on a FIFO planted at the name; cleared once the file is known regular.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr char kNameLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int kRandomLetters = 10;

}  // namespace

bool remove_output_leftover(const char* path) {
    struct stat status;
    if (lstat(path, &status) != 0) return errno == ENOENT;
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return false;
    }
    return unlink(path) == 0 || errno == ENOENT;
}

namespace {

// True when fd is a regular file with no other name.
bool sole_regular_file(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
}

// Letters that no one can guess ahead, from the kernel's random source.
bool fill_unpredictable_letters(char* out) {
    unsigned char bytes[kRandomLetters];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    for (int i = 0; i < kRandomLetters; ++i) out[i] = kNameLetters[bytes[i] % (sizeof kNameLetters - 1)];
    out[kRandomLetters] = '\0';
    return true;
}

// True when name is base's temporary name: base, ".", the random letters, kTemporaryNameEnd.
bool is_temporary_name_of(const char* name, const char* base) {
    const size_t base_length = std::strlen(base);
    if (std::strncmp(name, base, base_length) != 0 || name[base_length] != '.') return false;
    const char* letters = name + base_length + 1;
    for (int i = 0; i < kRandomLetters; ++i) {
        if (letters[i] == '\0' || std::strchr(kNameLetters, letters[i]) == nullptr) return false;
    }
    return std::strcmp(letters + kRandomLetters, kTemporaryNameEnd) == 0;
}

}  // namespace

int create_output_file(const char* path) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const int fd = open(path, kCreateFlags, kOutputFileMode);
        if (fd >= 0) return fd;
        if (errno != EEXIST && errno != ELOOP) return -1;
        if (!remove_output_leftover(path)) return -1;
    }
    errno = EEXIST;
    return -1;
}

int open_append_file(const char* path) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        int fd = open(path, kAppendFlags);
        if (fd < 0 && errno == ENOENT) fd = open(path, kCreateFlags | O_APPEND, kOutputFileMode);
        if (fd >= 0) {
            if (sole_regular_file(fd) && fcntl(fd, F_SETFL, O_APPEND) == 0) return fd;
            close(fd);
        } else if (errno != ENOENT && errno != EEXIST && errno != ELOOP && errno != ENXIO) {
            return -1;
        }
        // A link, a FIFO or a name shared with another file: replaced by a new file.
        if (fd >= 0 || errno == ELOOP || errno == ENXIO) {
            if (!remove_output_leftover(path)) return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

int create_temporary_file(const char* final_path, char* temporary_path, size_t slot) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        char letters[kRandomLetters + 1];
        if (!fill_unpredictable_letters(letters)) return -1;
        const int length = std::snprintf(temporary_path, slot, "%s.%s%s", final_path, letters, kTemporaryNameEnd);
        if (length < 0 || static_cast<size_t>(length) >= slot) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = open(temporary_path, kCreateFlags, kOutputFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

void remove_temporary_leftovers(const char* final_path) {
    const std::string path = final_path;
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing)) {
        struct stat status;
        if (!is_temporary_name_of(entry->d_name, base.c_str())) continue;
        if (fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(status.st_mode)) {
            unlinkat(dirfd(listing), entry->d_name, 0);
        }
    }
    closedir(listing);
}

FILE* create_output_stream(const char* path) {
    const int fd = create_output_file(path);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) close(fd);
    return stream;
}

FILE* open_append_stream(const char* path) {
    const int fd = open_append_file(path);
    if (fd < 0) return nullptr;
    FILE* stream = fdopen(fd, "ab");
    if (stream == nullptr) close(fd);
    return stream;
}

FILE* reopen_output_stream(const char* path) {
    const int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    FILE* stream = sole_regular_file(fd) ? fdopen(fd, "r+b") : nullptr;
    if (stream == nullptr) close(fd);
    return stream;
}

size_t escape_control_characters(const char* text, char* out, size_t slot) {
    if (slot == 0) return 0;
    size_t used = 0;
    for (const char* at = text; *at != '\0'; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        char piece[5] = {static_cast<char>(c), '\0'};
        if (c == '\n' || c == '\r' || c == '\t') {
            piece[0] = '\\';
            piece[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(piece, sizeof piece, "\\x%02x", c);
        }
        const size_t length = std::strlen(piece);
        if (used + length >= slot) break;
        std::memcpy(out + used, piece, length);
        used += length;
    }
    out[used] = '\0';
    return used;
}
