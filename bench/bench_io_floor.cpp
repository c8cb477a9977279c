// The product half of the I/O floor: writes every product of a finished run
// twice into a tree of its own, the way the run writes it: once at its first
// size (primary header and image data), then in full under a temporary name
// renamed over it (the despiked form with its tables). CSV tables and other
// files are written once. Only the sizes come from the reference tree (a
// stat and the first header block of each product, all read before the
// first write), so the bytes written are the floor's only real work:
//
//   bench_io_floor REFERENCE_ROOT FLOOR_ROOT LIST_FILE
//
// LIST_FILE holds one path per line, relative to both roots.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr size_t kHeaderBytes = 40320;
constexpr size_t kBlockBytes = 2880;
constexpr size_t kChunkBytes = 4 << 20;

std::vector<char> chunk(kChunkBytes, 'x');

bool fail(const std::string& what) {
    std::fprintf(stderr, "bench_io_floor: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

bool write_file(const std::string& path, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail("open " + path);
    while (size > 0) {
        const size_t part = size < kChunkBytes ? size : kChunkBytes;
        const ssize_t written = ::write(fd, chunk.data(), part);
        if (written <= 0) {
            ::close(fd);
            return fail("write " + path);
        }
        size -= static_cast<size_t>(written);
    }
    return ::close(fd) == 0 || fail("close " + path);
}

bool make_parents(const std::string& path, std::set<std::string>& made) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        if (made.count(directory) != 0) continue;
        if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) return fail("mkdir " + directory);
        made.insert(directory);
    }
    return true;
}

// The integer value of a fixed-format card such as "NAXIS1  =   1280".
long card_value(const char* header, const char* keyword) {
    for (size_t card = 0; card + 80 <= kBlockBytes; card += 80) {
        if (std::strncmp(header + card, keyword, std::strlen(keyword)) == 0) {
            return std::strtol(header + card + 10, nullptr, 10);
        }
    }
    return -1;
}

struct Job {
    std::string path;
    size_t first_size;  // 0: written once
    size_t final_size;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s REFERENCE_ROOT FLOOR_ROOT LIST_FILE\n", argv[0]);
        return 2;
    }
    const std::string reference = argv[1];
    const std::string floor = argv[2];
    FILE* list = std::fopen(argv[3], "r");
    if (list == nullptr) {
        fail(argv[3]);
        return 2;
    }

    std::vector<Job> jobs;
    char line[4096];
    char header[kBlockBytes];
    while (std::fgets(line, sizeof line, list) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        if (line[0] == '\0') continue;
        const std::string source = reference + "/" + line;
        struct stat info;
        if (::stat(source.c_str(), &info) != 0) {
            fail("stat " + source);
            return 2;
        }
        Job job{line, 0, static_cast<size_t>(info.st_size)};
        const size_t length = std::strlen(line);
        if (length > 5 && std::strcmp(line + length - 5, ".fits") == 0) {
            FILE* product = std::fopen(source.c_str(), "rb");
            if (product == nullptr || std::fread(header, 1, sizeof header, product) != sizeof header) {
                if (product != nullptr) std::fclose(product);
                fail("read " + source);
                return 2;
            }
            std::fclose(product);
            const long nx = card_value(header, "NAXIS1  =");
            const long ny = card_value(header, "NAXIS2  =");
            const size_t data = nx > 0 && ny > 0 ? static_cast<size_t>(nx * ny * 2) : 0;
            job.first_size = kHeaderBytes + (data + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
        }
        jobs.push_back(job);
    }
    std::fclose(list);

    std::set<std::string> made;
    for (const Job& job : jobs) {
        const std::string target = floor + "/" + job.path;
        if (!make_parents(target, made)) return 2;
        if (job.first_size == 0) {
            if (!write_file(target, job.final_size)) return 2;
            continue;
        }
        const std::string temporary = target + ".tmp";
        if (!write_file(target, job.first_size) || !write_file(temporary, job.final_size)) return 2;
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            fail("rename " + target);
            return 2;
        }
    }
    return 0;
}
