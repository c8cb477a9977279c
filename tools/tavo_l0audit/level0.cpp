// Reads the packet variable of a level-0 file directly with NetCDF-C. Most
// of the time goes into inflating the variable, so a large one is read in
// two halves at once: the second by a child process into memory shared with
// it (the library is not made for two threads).
#include <netcdf.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "audit.h"
#include "input/input.h"

namespace tavo_audit {

namespace {

constexpr size_t kSplitBytes = 8u << 20;  // smaller variables are read in one piece

struct NcFile {
    int id = -1;
    ~NcFile() {
        if (id >= 0) nc_close(id);
    }
};

bool nc_failed(int status, const std::string& path, const char* what, std::string& error) {
    if (status == NC_NOERR) return false;
    error = path + ": " + what + ": " + nc_strerror(status);
    return true;
}

// The packet variable of an open file: its id, type and length.
bool find_packet_variable(const NcFile& file, const std::string& path, int& var, nc_type& type, size_t& length,
                          std::string& error) {
    int dims = 0;
    if (nc_failed(nc_inq_varid(file.id, kPacketDatasetName, &var), path, "no packet variable", error) ||
        nc_failed(nc_inq_var(file.id, var, nullptr, &type, &dims, nullptr, nullptr), path, "packet variable",
                  error)) {
        return false;
    }
    // The packet stream is one dimension of bytes; any other shape would
    // not be the stream the dump utility writes.
    if (dims != 1 || (type != NC_UBYTE && type != NC_BYTE)) {
        error = path + ": packet variable is not a one-dimensional byte array";
        return false;
    }
    int dim = -1;
    return !nc_failed(nc_inq_vardimid(file.id, var, &dim), path, "packet dimension", error) &&
           !nc_failed(nc_inq_dimlen(file.id, dim, &length), path, "packet dimension", error);
}

// Reads bytes [first, first + count) of the variable into out.
bool read_range(const std::string& path, size_t first, size_t count, uint8_t* out, std::string& error) {
    NcFile file;
    int var = -1;
    nc_type type = NC_NAT;
    size_t length = 0;
    if (nc_failed(nc_open(path.c_str(), NC_NOWRITE, &file.id), path, "cannot open", error) ||
        !find_packet_variable(file, path, var, type, length, error)) {
        return false;
    }
    if (count == 0) return true;
    // Signed bytes are read as they are: the values are packet bytes, not numbers.
    const int status = type == NC_UBYTE
                           ? nc_get_vara_uchar(file.id, var, &first, &count, out)
                           : nc_get_vara_schar(file.id, var, &first, &count, reinterpret_cast<signed char*>(out));
    return !nc_failed(status, path, "cannot read packets", error);
}

}  // namespace

PacketBuffer::~PacketBuffer() {
    if (data_ != nullptr) munmap(data_, capacity_);
}

PacketBuffer::PacketBuffer(PacketBuffer&& other) noexcept
    : data_(other.data_), capacity_(other.capacity_), size_(other.size_) {
    other.data_ = nullptr;
    other.capacity_ = other.size_ = 0;
}

PacketBuffer& PacketBuffer::operator=(PacketBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(capacity_, other.capacity_);
    std::swap(size_, other.size_);
    return *this;
}

bool PacketBuffer::resize(size_t size) {
    if (size > capacity_) {
        if (data_ != nullptr) munmap(data_, capacity_);
        data_ = nullptr;
        capacity_ = 0;
        void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) return false;
        data_ = static_cast<uint8_t*>(block);
        capacity_ = size;
    }
    size_ = size;
    return true;
}

bool read_packet_stream(const std::string& path, PacketBuffer& bytes, std::string& error) {
    size_t length = 0;
    {
        NcFile file;
        int var = -1;
        nc_type type = NC_NAT;
        if (nc_failed(nc_open(path.c_str(), NC_NOWRITE, &file.id), path, "cannot open", error) ||
            !find_packet_variable(file, path, var, type, length, error)) {
            return false;
        }
    }
    if (!bytes.resize(length)) {
        error = path + ": no memory for " + std::to_string(length) + " packet bytes";
        return false;
    }
    if (length < kSplitBytes) return read_range(path, 0, length, bytes.data(), error);

    const size_t half = length / 2;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        std::string ignored;
        _exit(read_range(path, half, length - half, bytes.data() + half, ignored) ? 0 : 1);
    }
    // Without a child the second half is read here too.
    const bool first_read = read_range(path, 0, child > 0 ? half : length, bytes.data(), error);
    if (child < 0) return first_read;
    int status = 0;
    pid_t waited = -1;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (!first_read) return false;
    if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = path + ": cannot read the second half of the packets";
        return false;
    }
    return true;
}

}  // namespace tavo_audit
