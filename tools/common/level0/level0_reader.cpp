// Level-0 dataset reader: raw chunks inflated with libdeflate where the
// pipeline allows it, the HDF5 library's read everywhere else.
#include "level0_reader.h"

#include <libdeflate.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace tavo_level0 {

Hdf5Id::Hdf5Id(Hdf5Id&& other) noexcept : id_(other.id_), close_(other.close_) { other.id_ = -1; }

Hdf5Id& Hdf5Id::operator=(Hdf5Id&& other) noexcept {
    std::swap(id_, other.id_);
    std::swap(close_, other.close_);
    return *this;
}

void Hdf5Id::reset() {
    if (id_ >= 0 && close_ != nullptr) close_(id_);
    id_ = -1;
}

namespace {

constexpr size_t kBlockBytes = 4u << 20;  // read per library call when there are no chunks to follow

herr_t keep_innermost(unsigned, const H5E_error2_t* entry, void* reason) {
    if (entry->desc != nullptr && entry->desc[0] != '\0') *static_cast<std::string*>(reason) = entry->desc;
    return 0;
}

// The description of the innermost error on the library's stack, which says
// what went wrong rather than which call failed; the stack is cleared.
std::string hdf5_reason() {
    std::string reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keep_innermost, &reason);
    H5Eclear2(H5E_DEFAULT);
    return reason.empty() ? "HDF5 library error" : reason;
}

// The library would print its error stack on standard error; failures are
// reported here as one message instead.
void silence_hdf5_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

bool fail(std::string& error, const std::string& message) {
    error = message;
    return false;
}

bool read_type(Dataset& d, std::string& error) {
    d.file_type = Hdf5Id(H5Dget_type(d.dataset.get()), H5Tclose);
    if (!d.file_type.valid()) return fail(error, d.path + ": cannot read the type of " + d.name + ": " + hdf5_reason());
    d.type_class = H5Tget_class(d.file_type.get());
    d.element_bytes = H5Tget_size(d.file_type.get());
    // Only numbers have a big-endian form to write.
    if ((d.type_class != H5T_INTEGER && d.type_class != H5T_FLOAT) || d.element_bytes == 0) {
        return fail(error, d.path + ": dataset " + d.name + " does not hold integers or floating-point numbers");
    }
    d.little_endian = d.element_bytes > 1 && H5Tget_order(d.file_type.get()) == H5T_ORDER_LE;
    return true;
}

bool read_extent(Dataset& d, std::string& error) {
    Hdf5Id space(H5Dget_space(d.dataset.get()), H5Sclose);
    const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
    if (rank < 0) return fail(error, d.path + ": cannot read the extent of " + d.name + ": " + hdf5_reason());
    d.dims.assign(static_cast<size_t>(rank), 0);
    if (rank > 0) H5Sget_simple_extent_dims(space.get(), d.dims.data(), nullptr);
    const hssize_t points = H5Sget_simple_extent_npoints(space.get());
    d.elements = points > 0 ? static_cast<uint64_t>(points) : 0;
    return true;
}

bool read_storage(Dataset& d, std::string& error) {
    Hdf5Id create(H5Dget_create_plist(d.dataset.get()), H5Pclose);
    if (!create.valid()) return fail(error, d.path + ": cannot read the storage of " + d.name + ": " + hdf5_reason());
    d.layout = H5Pget_layout(create.get());
    if (d.layout != H5D_CHUNKED) return true;
    d.chunk_dims.assign(d.dims.size(), 0);
    if (H5Pget_chunk(create.get(), static_cast<int>(d.chunk_dims.size()), d.chunk_dims.data()) < 0) {
        return fail(error, d.path + ": cannot read the chunks of " + d.name + ": " + hdf5_reason());
    }
    const int count = H5Pget_nfilters(create.get());
    for (int i = 0; i < count; ++i) {
        unsigned flags = 0;
        size_t values = 0;
        unsigned config = 0;
        d.filters.push_back(H5Pget_filter2(create.get(), static_cast<unsigned>(i), &flags, &values, nullptr, 0,
                                           nullptr, &config));
    }
    return true;
}

// --- Raw chunks ------------------------------------------------------------

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;

// Undoes the shuffle filter (byte k of every element stored together) and,
// when reverse is set, writes each element's bytes in the opposite order.
void unshuffle(const uint8_t* in, size_t bytes, size_t element_bytes, bool reverse, uint8_t* out) {
    const size_t count = bytes / element_bytes;
    for (size_t k = 0; k < element_bytes; ++k) {
        const uint8_t* plane = in + k * count;
        uint8_t* to = out + (reverse ? element_bytes - 1 - k : k);
        for (size_t i = 0; i < count; ++i) to[i * element_bytes] = plane[i];
    }
    // A tail shorter than one element is stored as it is.
    std::memcpy(out + count * element_bytes, in + count * element_bytes, bytes - count * element_bytes);
}

void reverse_elements(uint8_t* bytes, size_t count, size_t element_bytes) {
    for (uint8_t* e = bytes; e + element_bytes <= bytes + count; e += element_bytes) {
        std::reverse(e, e + element_bytes);
    }
}

std::string chunk_place(const Dataset& d, hsize_t first_element) {
    return d.path + ": the chunk at byte " + std::to_string(first_element * d.element_bytes) + " of " + d.name;
}

// Buffers of the raw-chunk read: one chunk as stored, one inflated, one
// for the shuffle's undoing.
struct ChunkBuffers {
    std::vector<uint8_t> stored;
    std::vector<uint8_t> inflated;
    std::vector<uint8_t> ordered;
};

std::string inflate_problem(libdeflate_result result, size_t chunk_bytes) {
    switch (result) {
        case LIBDEFLATE_BAD_DATA: return "is damaged: not a valid deflate stream, or its checksum differs";
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return "is damaged: it inflates to more than its " + std::to_string(chunk_bytes) + " bytes";
        default: return "cannot be inflated";
    }
}

// Decodes one stored chunk into the bytes of its elements in big-endian
// order; out points at them (chunk_bytes of them).
bool decode_chunk(const Dataset& d, libdeflate_decompressor* inflater, ChunkBuffers& b, size_t stored_bytes,
                  uint32_t skipped_filters, hsize_t first_element, const uint8_t*& out, std::string& error) {
    const size_t chunk_bytes = b.inflated.size();
    uint8_t* data = b.stored.data();
    size_t size = stored_bytes;
    bool ordered = !d.little_endian;
    // The filters are undone in the reverse of the order they were applied;
    // a set bit of the mask means the writer skipped that filter for this chunk.
    for (size_t i = d.filters.size(); i-- > 0;) {
        if ((skipped_filters >> i) & 1u) continue;
        if (d.filters[i] == H5Z_FILTER_DEFLATE) {
            size_t actual = 0;
            const libdeflate_result result =
                libdeflate_zlib_decompress(inflater, data, size, b.inflated.data(), chunk_bytes, &actual);
            if (result != LIBDEFLATE_SUCCESS) {
                return fail(error, chunk_place(d, first_element) + " " + inflate_problem(result, chunk_bytes));
            }
            data = b.inflated.data();
            size = actual;
        } else {
            // The shuffle keeps the size, which the buffer is made for.
            if (size != chunk_bytes) break;
            unshuffle(data, size, d.element_bytes, d.little_endian, b.ordered.data());
            data = b.ordered.data();
            ordered = true;
        }
    }
    if (size != chunk_bytes) {
        return fail(error, chunk_place(d, first_element) + " holds " + std::to_string(size) + " bytes, not " +
                               std::to_string(chunk_bytes));
    }
    if (!ordered) reverse_elements(data, size, d.element_bytes);
    out = data;
    return true;
}

}  // namespace

bool reads_raw_chunks(const Dataset& d) {
    // One dimension, so that a chunk is a contiguous run of the stream;
    // integers of full precision, whose big-endian form is the bytes reversed.
    if (d.layout != H5D_CHUNKED || d.dims.size() != 1 || d.type_class != H5T_INTEGER ||
        H5Tget_precision(d.file_type.get()) != 8 * d.element_bytes) {
        return false;
    }
    const std::vector<H5Z_filter_t> deflate{H5Z_FILTER_DEFLATE};
    const std::vector<H5Z_filter_t> shuffle_deflate{H5Z_FILTER_SHUFFLE, H5Z_FILTER_DEFLATE};
    return d.filters == deflate || d.filters == shuffle_deflate;
}

namespace {

// Reads rows [first, first + rows) of the first dimension through the
// library, converted to big-endian numbers.
bool read_rows(const Dataset& d, hid_t memory_type, hsize_t first, hsize_t rows, std::vector<uint8_t>& buffer,
               std::string& error) {
    std::vector<hsize_t> start(d.dims.size(), 0);
    std::vector<hsize_t> count = d.dims;
    size_t elements = 1;
    if (!d.dims.empty()) {
        start[0] = first;
        count[0] = rows;
        for (hsize_t n : count) elements *= n;
    }
    buffer.resize(elements * d.element_bytes);
    Hdf5Id file_space(H5Dget_space(d.dataset.get()), H5Sclose);
    Hdf5Id memory_space(d.dims.empty() ? H5Screate(H5S_SCALAR)
                                       : H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr),
                        H5Sclose);
    const bool ok = file_space.valid() && memory_space.valid() &&
                    (d.dims.empty() || H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                                                           count.data(), nullptr) >= 0) &&
                    H5Dread(d.dataset.get(), memory_type, memory_space.get(), file_space.get(), H5P_DEFAULT,
                            buffer.data()) >= 0;
    if (ok) return true;
    const uint64_t row_bytes = d.dims.empty() ? d.element_bytes : buffer.size() / rows;
    return fail(error, d.path + ": cannot read bytes " + std::to_string(first * row_bytes) + " to " +
                           std::to_string((first + rows) * row_bytes) + " of " + d.name + ": " + hdf5_reason());
}

Hdf5Id big_endian_type(const Dataset& d, std::string& error) {
    Hdf5Id type(H5Tcopy(d.file_type.get()), H5Tclose);
    if (!type.valid() || (d.element_bytes > 1 && H5Tset_order(type.get(), H5T_ORDER_BE) < 0)) {
        fail(error, d.path + ": no big-endian form of the type of " + d.name + ": " + hdf5_reason());
        return Hdf5Id();
    }
    return type;
}

bool stream_raw_chunks(const Dataset& d, const ByteSink& sink, hsize_t first, hsize_t end, std::string& error) {
    Decompressor inflater(libdeflate_alloc_decompressor());
    if (!inflater) return fail(error, "no memory for a decompressor");
    Hdf5Id memory_type = big_endian_type(d, error);
    if (!memory_type.valid()) return false;
    const hsize_t chunk_elements = d.chunk_dims[0];
    ChunkBuffers buffers;
    buffers.inflated.resize(chunk_elements * d.element_bytes);
    if (d.filters.front() == H5Z_FILTER_SHUFFLE) buffers.ordered.resize(buffers.inflated.size());
    std::vector<uint8_t> fill;
    for (hsize_t chunk = first / chunk_elements * chunk_elements; chunk < end; chunk += chunk_elements) {
        // The part of this chunk inside the range.
        const hsize_t from = std::max(first, chunk);
        const hsize_t rows = std::min(end, chunk + chunk_elements) - from;
        unsigned skipped = 0;
        haddr_t address = HADDR_UNDEF;
        hsize_t stored = 0;
        if (H5Dget_chunk_info_by_coord(d.dataset.get(), &chunk, &skipped, &address, &stored) < 0) {
            return fail(error, chunk_place(d, chunk) + " cannot be found: " + hdf5_reason());
        }
        // A chunk never written holds the fill value, which the library supplies.
        if (address == HADDR_UNDEF || stored == 0) {
            if (!read_rows(d, memory_type.get(), from, rows, fill, error) || !sink(fill.data(), fill.size(), error)) {
                return false;
            }
            continue;
        }
        buffers.stored.resize(stored);
        uint32_t mask = 0;
        if (H5Dread_chunk(d.dataset.get(), H5P_DEFAULT, &chunk, &mask, buffers.stored.data()) < 0) {
            return fail(error, chunk_place(d, chunk) + " cannot be read: " + hdf5_reason());
        }
        const uint8_t* bytes = nullptr;
        if (!decode_chunk(d, inflater.get(), buffers, stored, mask, chunk, bytes, error) ||
            !sink(bytes + (from - chunk) * d.element_bytes, rows * d.element_bytes, error)) {
            return false;
        }
    }
    return true;
}

bool stream_rows(const Dataset& d, const ByteSink& sink, hsize_t first, hsize_t end, std::string& error) {
    if (d.elements == 0) return true;
    Hdf5Id memory_type = big_endian_type(d, error);
    if (!memory_type.valid()) return false;
    std::vector<uint8_t> buffer;
    if (d.dims.empty()) {
        return read_rows(d, memory_type.get(), 0, 1, buffer, error) && sink(buffer.data(), buffer.size(), error);
    }
    // Whole chunks of rows at a time, so that the library decodes each chunk once.
    const uint64_t row_bytes = d.byte_count() / d.dims[0];
    const hsize_t unit = chunk_rows(d);
    const hsize_t rows = std::max<hsize_t>(unit, kBlockBytes / row_bytes / unit * unit);
    for (hsize_t from = first; from < end; from += rows) {
        if (!read_rows(d, memory_type.get(), from, std::min(rows, end - from), buffer, error) ||
            !sink(buffer.data(), buffer.size(), error)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool open_dataset(const std::string& path, const std::string& name, Dataset& d, std::string& error) {
    silence_hdf5_errors();
    d = Dataset();
    d.path = path;
    d.name = name;
    if (access(path.c_str(), R_OK) != 0) return fail(error, path + ": " + std::strerror(errno));
    if (H5Fis_hdf5(path.c_str()) <= 0) {
        H5Eclear2(H5E_DEFAULT);
        return fail(error, path + ": not an HDF5 file");
    }
    d.file = Hdf5Id(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!d.file.valid()) return fail(error, path + ": cannot open: " + hdf5_reason());
    if (H5Lexists(d.file.get(), name.c_str(), H5P_DEFAULT) <= 0) {
        H5Eclear2(H5E_DEFAULT);
        return fail(error, path + ": no dataset " + name);
    }
    d.dataset = Hdf5Id(H5Dopen2(d.file.get(), name.c_str(), H5P_DEFAULT), H5Dclose);
    if (!d.dataset.valid()) return fail(error, path + ": cannot open dataset " + name + ": " + hdf5_reason());
    return read_type(d, error) && read_extent(d, error) && read_storage(d, error);
}

uint64_t chunk_rows(const Dataset& d) { return d.layout == H5D_CHUNKED && !d.chunk_dims.empty() ? d.chunk_dims[0] : 1; }

bool stream_dataset(const Dataset& d, const ByteSink& sink, std::string& error, RowRange rows) {
    const hsize_t extent = d.dims.empty() ? 1 : d.dims[0];
    const hsize_t first = std::min<hsize_t>(rows.first, extent);
    const hsize_t end = first + std::min<hsize_t>(rows.count, extent - first);
    return reads_raw_chunks(d) ? stream_raw_chunks(d, sink, first, end, error)
                               : stream_rows(d, sink, first, end, error);
}

}  // namespace tavo_level0
