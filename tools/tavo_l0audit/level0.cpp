// Reads the packet variable of a level-0 file through the level-0 reader
// (the dump utility's). Most of the time goes into inflating the variable,
// so a large one is read in two halves at once: the second by a child
// process into memory shared with it (the HDF5 library is not made for two
// threads).
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "audit.h"
#include "input/input.h"
#include "level0_reader.h"

namespace tavo_audit {

namespace {

constexpr size_t kSplitBytes = 8u << 20;  // smaller variables are read in one piece

// Opens the packet variable of the file at path: one dimension of bytes, the
// stream the dump utility writes; any other shape would not be that stream.
bool open_packet_variable(const std::string& path, tavo_level0::Dataset& variable, std::string& error) {
    if (!tavo_level0::open_dataset(path, kPacketDatasetName, variable, error)) return false;
    if (variable.dims.size() != 1 || variable.type_class != H5T_INTEGER || variable.element_bytes != 1) {
        error = path + ": packet variable is not a one-dimensional byte array";
        return false;
    }
    return true;
}

// Reads bytes [first, first + count) of the variable into out; filled counts
// the bytes read, which on a damaged chunk are the whole chunks before it.
bool read_range(const std::string& path, size_t first, size_t count, uint8_t* out, std::string& error,
                size_t& filled) {
    filled = 0;
    tavo_level0::Dataset variable;
    if (!open_packet_variable(path, variable, error)) return false;
    const auto copy = [out, &filled](const uint8_t* bytes, size_t size, std::string&) {
        std::memcpy(out + filled, bytes, size);
        filled += size;
        return true;
    };
    return tavo_level0::stream_dataset(variable, copy, error, {first, count});
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

ReadOutcome read_packet_stream(const std::string& path, PacketBuffer& bytes, std::string& error) {
    size_t length = 0;
    size_t chunk = 1;
    {
        // Closed before the child starts, which opens the file on its own.
        tavo_level0::Dataset variable;
        if (!open_packet_variable(path, variable, error)) {
            bytes.resize(0);
            return ReadOutcome::kDamaged;  // as the dump utilities, an empty stream
        }
        length = variable.byte_count();
        chunk = tavo_level0::chunk_rows(variable);
    }
    if (!bytes.resize(length)) {
        error = path + ": no memory for " + std::to_string(length) + " packet bytes";
        return ReadOutcome::kNoMemory;
    }
    // Split at a chunk's start, so that no chunk is inflated twice.
    const size_t half = length / 2 / chunk * chunk;
    size_t filled = 0;
    if (length < kSplitBytes || half == 0) {
        if (read_range(path, 0, length, bytes.data(), error, filled)) return ReadOutcome::kWhole;
        bytes.resize(filled);
        return ReadOutcome::kDamaged;
    }

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        std::string ignored;
        size_t ignored_count = 0;
        _exit(read_range(path, half, length - half, bytes.data() + half, ignored, ignored_count) ? 0 : 1);
    }
    // Without a child the second half is read here too.
    const bool first_read = read_range(path, 0, child > 0 ? half : length, bytes.data(), error, filled);
    if (child < 0) {
        if (first_read) return ReadOutcome::kWhole;
        bytes.resize(filled);
        return ReadOutcome::kDamaged;
    }
    int status = 0;
    pid_t waited = -1;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (!first_read) {
        bytes.resize(filled);  // the stream ends at the damage
        return ReadOutcome::kDamaged;
    }
    if (waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) return ReadOutcome::kWhole;
    // The second half is damaged: read again here to learn where.
    size_t second = 0;
    if (read_range(path, half, length - half, bytes.data() + half, error, second)) return ReadOutcome::kWhole;
    bytes.resize(half + second);
    return ReadOutcome::kDamaged;
}

}  // namespace tavo_audit
