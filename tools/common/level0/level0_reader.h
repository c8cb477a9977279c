// Reads one dataset of a level-0 (HDF5) file as the stream of bytes that a
// dump with big-endian output leaves: the elements in storage order, each
// number most significant byte first. Chunked datasets compressed with
// deflate (with or without shuffle) are read chunk by chunk and inflated here;
// every other layout and filter goes through the HDF5 library's own read.
// Memory stays at about one chunk in and one out, whatever the file's size.
#pragma once

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavo_level0 {

// Takes the next bytes of the stream, always whole chunks (or whole blocks of
// rows), in order; false with error set stops the read.
using ByteSink = std::function<bool(const uint8_t* bytes, size_t count, std::string& error)>;

// Closes an HDF5 identifier with the function of its kind.
class Hdf5Id {
public:
    Hdf5Id() = default;
    Hdf5Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~Hdf5Id() { reset(); }
    Hdf5Id(Hdf5Id&& other) noexcept;
    Hdf5Id& operator=(Hdf5Id&& other) noexcept;
    Hdf5Id(const Hdf5Id&) = delete;
    Hdf5Id& operator=(const Hdf5Id&) = delete;
    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }
    void reset();

private:
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

// One open dataset and what the read needs to know about it.
struct Dataset {
    std::string path;                // the file, as given
    std::string name;                // the dataset's path inside it
    Hdf5Id file;
    Hdf5Id dataset;
    Hdf5Id file_type;
    H5T_class_t type_class = H5T_NO_CLASS;
    size_t element_bytes = 0;        // size of one element in the file
    bool little_endian = false;      // multi-byte elements stored least significant byte first
    std::vector<hsize_t> dims;       // extent; empty for a scalar
    uint64_t elements = 0;
    H5D_layout_t layout = H5D_LAYOUT_ERROR;
    std::vector<hsize_t> chunk_dims; // chunked layout only
    std::vector<H5Z_filter_t> filters;  // the pipeline, in the order the writer applied it

    uint64_t byte_count() const { return elements * element_bytes; }
};

// Opens the dataset name of the HDF5 file at path. False with one message
// (naming the file and what is wrong) when the file or the dataset cannot be
// opened or the dataset does not hold numbers.
bool open_dataset(const std::string& path, const std::string& name, Dataset& dataset, std::string& error);

// True when the dataset's chunks are inflated here rather than by the library.
bool reads_raw_chunks(const Dataset& dataset);

// Rows (indexes of the first dimension; elements of a one-dimensional
// dataset) that one read covers: [first, first + count), cut at the extent.
struct RowRange {
    uint64_t first = 0;
    uint64_t count = UINT64_MAX;
};

// Rows per chunk (1 when the dataset is not chunked): a range that starts
// at a multiple of it decodes no chunk twice.
uint64_t chunk_rows(const Dataset& dataset);

// Hands the bytes of rows to sink in order (all of a scalar dataset). False
// with one message when a chunk cannot be read or decoded (everything before
// it has reached the sink) or when the sink refuses bytes (its own message).
bool stream_dataset(const Dataset& dataset, const ByteSink& sink, std::string& error, RowRange rows = {});

}  // namespace tavo_level0
