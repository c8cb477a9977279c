// Spike detection and replacement on a 16-bit image.
//
// Each pass tests every interior pixel against the image as it stood when
// the pass began: the row's decisions are computed first into a flag row
// (a branch-free loop the compiler vectorises; it performs exactly the
// single-precision operations of the test, in the same order), then only the
// flagged pixels get their outer-ring median. Detections go to work lists
// and are written into the image after the scan. A pass after the first
// tests only the rows next to the pixels the pass before replaced: nowhere
// else can its decisions differ from that pass's.
#include "despike/despike.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr float kSpikeThreshold = 4.0f;
constexpr int kRingSize = 16;
constexpr int kRingMedianPosition = 7;  // lower of the two middle values
constexpr int32_t kSuperseded = -1;     // address of an entry a later pass replaced
constexpr int kEdge = 2;                // rows and columns never tested on each side

template <typename T>
std::unique_ptr<T[]> allocate(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// The three parallel work lists of one call; they grow only when the
// detections of all passes together would overrun them.
struct WorkLists {
    std::unique_ptr<int32_t[]> address;
    std::unique_ptr<int16_t[]> old_value;
    std::unique_ptr<int16_t[]> new_value;
    size_t capacity = 0;
    size_t size = 0;

    bool reserve(size_t wanted) {
        if (wanted <= capacity) return true;
        size_t grown = capacity * 2;
        if (grown < wanted) grown = wanted;
        auto a = allocate<int32_t>(grown);
        auto o = allocate<int16_t>(grown);
        auto n = allocate<int16_t>(grown);
        if (!a || !o || !n) return false;
        if (size > 0) {
            std::memcpy(a.get(), address.get(), size * sizeof(int32_t));
            std::memcpy(o.get(), old_value.get(), size * sizeof(int16_t));
            std::memcpy(n.get(), new_value.get(), size * sizeof(int16_t));
        }
        address = std::move(a);
        old_value = std::move(o);
        new_value = std::move(n);
        capacity = grown;
        return true;
    }
};

// Sorts the ring with a Shell sort (gaps 8, 4, 2, 1) in its fixed buffer and
// returns the value at the median position.
int16_t ring_median(int16_t ring[kRingSize]) {
    static constexpr int kGaps[] = {8, 4, 2, 1};
    for (int gap : kGaps) {
        for (int i = gap; i < kRingSize; ++i) {
            const int16_t value = ring[i];
            int j = i;
            while (j >= gap && ring[j - gap] > value) {
                ring[j] = ring[j - gap];
                j -= gap;
            }
            ring[j] = value;
        }
    }
    return ring[kRingMedianPosition];
}

// The median of the 16 pixels two steps from (r, c): row r-2, columns c-2
// and c+2 of rows r-1 .. r+1, row r+2.
int16_t outer_ring_median(const int16_t* image, int nx, int r, int c) {
    int16_t ring[kRingSize];
    int n = 0;
    const int16_t* top = image + static_cast<size_t>(r - 2) * nx + c;
    for (int dc = -2; dc <= 2; ++dc) ring[n++] = top[dc];
    for (int dr = -1; dr <= 1; ++dr) {
        const int16_t* row = image + static_cast<size_t>(r + dr) * nx + c;
        ring[n++] = row[-2];
        ring[n++] = row[2];
    }
    const int16_t* bottom = image + static_cast<size_t>(r + 2) * nx + c;
    for (int dc = -2; dc <= 2; ++dc) ring[n++] = bottom[dc];
    return ring_median(ring);
}

// Flags the pixels of columns first .. last of the middle row that are
// spikes: v > 0, a = (v - ped) * s, b = sum * 0.125 - ped, b < a and
// a - b > 4, all in single precision. sum * 0.125 is exact in single
// precision (at most 21 significant bits), so single-precision arithmetic
// gives the same b as forming it wider and rounding once.
// Built for AVX2 as well where the processor has it: the same operations,
// sixteen pixels at a time (no fused multiply-add: contraction is off).
__attribute__((target_clones("avx2", "default"))) void flag_row(const int16_t* __restrict up, const int16_t* __restrict mid,
              const int16_t* __restrict down, uint8_t* __restrict flags, int first, int last,
              float scale, float ped) {
    for (int c = first; c <= last; ++c) {
        const int32_t sum = static_cast<int32_t>(up[c - 1]) + up[c] + up[c + 1] + mid[c - 1] +
                            mid[c + 1] + down[c - 1] + down[c] + down[c + 1];
        const int16_t v = mid[c];
        const float a = (static_cast<float>(v) - ped) * scale;
        const float b = static_cast<float>(sum) * 0.125f - ped;
        const float d = a - b;
        flags[c] = static_cast<uint8_t>((v > 0) & (b < a) & (d > kSpikeThreshold));
    }
}

// Runs one pass over the interior rows marked in rows_to_scan and appends
// its detections to the work lists. False when the lists cannot grow; the
// pass's entries are then dropped again.
bool scan_pass(const int16_t* image, int nx, int ny, float scale, float ped, uint8_t* flags,
               const uint8_t* rows_to_scan, WorkLists& lists) {
    const size_t pass_start = lists.size;
    const int first = kEdge;
    const int last = nx - 1 - kEdge;
    const size_t row_width = static_cast<size_t>(last - first + 1);
    for (int r = kEdge; r <= ny - 1 - kEdge; ++r) {
        if (rows_to_scan[r] == 0) continue;
        if (!lists.reserve(lists.size + row_width)) {
            lists.size = pass_start;
            return false;
        }
        const int16_t* mid = image + static_cast<size_t>(r) * nx;
        flag_row(mid - nx, mid, mid + nx, flags, first, last, scale, ped);
        int c = first;
        // Skip eight flags at a time: spikes are rare.
        while (c <= last) {
            if (c + 8 <= last + 1) {
                uint64_t word;
                std::memcpy(&word, flags + c, sizeof(word));
                if (word == 0) {
                    c += 8;
                    continue;
                }
            }
            if (flags[c] != 0) {
                const size_t k = lists.size++;
                lists.address[k] = r * nx + c;
                lists.old_value[k] = mid[c];
                lists.new_value[k] = outer_ring_median(image, nx, r, c);
            }
            ++c;
        }
    }
    return true;
}

// Matches the entries of the newest pass list with the earlier ones: an
// earlier entry of the same pixel hands its old value on and is superseded.
// Every list is in ascending address order, so one forward cursor per list
// suffices. Returns the number of entries superseded.
size_t reconcile_pass(WorkLists& lists, const size_t* pass_first, const size_t* pass_end,
                      int pass) {
    size_t cursor[kMaxDespikePasses];
    for (int j = 0; j < pass; ++j) cursor[j] = pass_first[j];
    size_t superseded = 0;
    int32_t* address = lists.address.get();
    for (size_t e = pass_first[pass]; e < pass_end[pass]; ++e) {
        for (int j = 0; j < pass; ++j) {
            size_t& at = cursor[j];
            while (at < pass_end[j] && address[at] < address[e]) ++at;
            if (at < pass_end[j] && address[at] == address[e]) {
                lists.old_value[e] = lists.old_value[at];
                address[at] = kSuperseded;
                ++superseded;
            }
        }
    }
    return superseded;
}

// The rows the next pass must test: a pixel's test reads its 3 x 3
// neighbourhood, so only a pixel next to one this pass replaced (or that
// pixel itself) can decide otherwise than in this pass. Every other pixel
// was not a spike in this pass and is not one in the next.
void mark_rows_near(const WorkLists& lists, size_t first, size_t end, int nx, int ny, uint8_t* rows) {
    std::memset(rows, 0, static_cast<size_t>(ny));
    for (size_t e = first; e < end; ++e) {
        const int r = lists.address[e] / nx;
        for (int dr = -1; dr <= 1; ++dr) {
            if (r + dr >= 0 && r + dr < ny) rows[r + dr] = 1;
        }
    }
}

void apply_pass(int16_t* image, const WorkLists& lists, size_t first, size_t end) {
    for (size_t e = first; e < end; ++e) image[lists.address[e]] = lists.new_value[e];
}

// Puts back the values from before the first pass (the entries still
// standing hold them).
void restore_image(int16_t* image, const WorkLists& lists) {
    for (size_t e = 0; e < lists.size; ++e) {
        if (lists.address[e] != kSuperseded) image[lists.address[e]] = lists.old_value[e];
    }
}

}  // namespace

int despike_image(int16_t* image, int nx, int ny, float frac, float ped, int niter,
                  int32_t& count, int32_t*& addresses, int16_t*& old_values,
                  int16_t*& new_values) {
    if (nx < kMinDespikeSize || ny < kMinDespikeSize) {
        std::printf("dimensions must be 5 or greater, nx, ny = %d %d\n", nx, ny);
        return -1;
    }
    const int64_t passes = niter < 0 ? -static_cast<int64_t>(niter) : niter;
    if (passes > kMaxDespikePasses) return -1;
    // Addresses are 32-bit signed.
    const int64_t pixels = static_cast<int64_t>(nx) * ny;
    if (pixels > INT32_MAX || image == nullptr) return -1;

    const float scale = static_cast<float>(1.0 / (1.0 + static_cast<double>(frac)));

    WorkLists lists;
    auto flags = allocate<uint8_t>(static_cast<size_t>(nx));
    auto rows = allocate<uint8_t>(static_cast<size_t>(ny));
    if (!flags || !rows || !lists.reserve(static_cast<size_t>(pixels))) return -1;
    std::memset(rows.get(), 1, static_cast<size_t>(ny));  // the first pass tests every row

    size_t pass_first[kMaxDespikePasses];
    size_t pass_end[kMaxDespikePasses];
    size_t superseded = 0;
    for (int k = 0; k < passes; ++k) {
        pass_first[k] = lists.size;
        // A pass whose detections do not fit is not applied; the passes
        // before it stand.
        if (!scan_pass(image, nx, ny, scale, ped, flags.get(), rows.get(), lists)) break;
        pass_end[k] = lists.size;
        // The rows the next pass tests, from this pass's entries before any
        // later pass supersedes them.
        mark_rows_near(lists, pass_first[k], pass_end[k], nx, ny, rows.get());
        if (k >= 1) superseded += reconcile_pass(lists, pass_first, pass_end, k);
        apply_pass(image, lists, pass_first[k], pass_end[k]);
        // An unchanged image gives the same (empty) result on every later pass.
        if (pass_end[k] == pass_first[k]) break;
    }

    const size_t total = lists.size - superseded;
    if (total == 0) {
        count = 0;
        addresses = nullptr;
        old_values = nullptr;
        new_values = nullptr;
        return 0;
    }
    std::unique_ptr<int32_t[]> out_address(new (std::nothrow) int32_t[total]);
    std::unique_ptr<int16_t[]> out_old(new (std::nothrow) int16_t[total]);
    std::unique_ptr<int16_t[]> out_new(new (std::nothrow) int16_t[total]);
    if (!out_address || !out_old || !out_new) {
        restore_image(image, lists);
        return -1;
    }
    size_t n = 0;
    for (size_t e = 0; e < lists.size; ++e) {
        if (lists.address[e] > 0) {
            out_address[n] = lists.address[e];
            out_old[n] = lists.old_value[e];
            out_new[n] = lists.new_value[e];
            ++n;
        }
    }
    count = static_cast<int32_t>(total);
    addresses = out_address.release();
    old_values = out_old.release();
    new_values = out_new.release();
    return 0;
}
