// Fuzz target: the packet scan, sort, selection and image assembly of one
// file pair, on streams made from the input.
//
// Input: byte 0 holds flags (bit 0: there is a successor stream, bit 1: the
// pair is the last, bit 2: a narrow window of one hour instead of the whole
// time scale, bit 3: start with last_image_id 99), bytes 1-4 the length of
// the current stream (big-endian, taken modulo what follows); the rest is
// the current stream followed by the successor stream.
#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "fuzz_support.h"
#include "input/input.h"
#include "packets/packets.h"

namespace {

constexpr size_t kPreambleBytes = 5;

// Assembled images are counted, not written.
bool count_image(void*, const char*, uint32_t, uint32_t, uint32_t, uint32_t, int32_t, const uint8_t*,
                 const uint16_t*) {
    return true;
}

// Product directories are made under the scratch output root, as a run makes them.
constexpr PipelineHooks kCountingHooks = {count_image, make_product_directory, nullptr, nullptr};

struct Stream {
    FILE* file = nullptr;
    ~Stream() {
        if (file != nullptr) std::fclose(file);
    }
};

// An empty stream still needs a FILE*: fmemopen refuses size 0.
FILE* open_bytes(const uint8_t* data, size_t size) {
    static char empty[1];
    return size == 0 ? fmemopen(empty, 1, "rb") : fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kPreambleBytes) return 0;
    static bool table_ready = false;
    fuzz_support::set_quiet_run(false);
    run_settings.start_date = 20170301;
    run_settings.start_time = 120000;
    run_settings.end_date = 20170301;
    run_settings.end_time = 125959;
    char message[kRunMessageCapacity] = "";
    if (!table_ready) {
        table_ready = allocate_packet_table(message);
        if (!table_ready) return 0;
    }
    const uint8_t flags = data[0];
    const bool has_successor = (flags & 1) != 0;
    const bool last_pair = (flags & 2) != 0;
    if ((flags & 4) != 0) {
        last_image_time = {20170301, 120000};
        window_end = {20170301, 125959};
    } else {
        last_image_time = {20000101, 120000};
        window_end = {20991231, 235959};
    }
    last_image_id = (flags & 8) != 0 ? 99 : 0;

    const uint8_t* bytes = data + kPreambleBytes;
    const size_t length = size - kPreambleBytes;
    uint32_t split = 0;
    for (size_t i = 1; i < kPreambleBytes; ++i) split = split << 8 | data[i];
    const size_t current_length = length == 0 ? 0 : split % (length + 1);

    Stream current{open_bytes(bytes, has_successor ? current_length : length)};
    Stream successor{has_successor ? open_bytes(bytes + current_length, length - current_length) : nullptr};
    if (current.file == nullptr || (has_successor && successor.file == nullptr)) return 0;
    process_packet_streams(message, current.file, successor.file, last_pair, "current.nc",
                           has_successor ? "successor.nc" : nullptr, kCountingHooks);
    return 0;
}
