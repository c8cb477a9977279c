// Despike: spike detection on a 16-bit image and the in-place rewrite of a
// FITS product with its spike tables.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kMaxDespikePasses = 20;
constexpr int kMinDespikeSize = 5;

// Finds and replaces isolated spikes in image (nx columns, ny rows) over
// |niter| passes. On status 0 the spike list (count and three arrays of
// count entries, null when 0) is set; the caller releases the arrays with
// delete[]. Status -1 leaves the image and the outputs untouched.
int despike_image(int16_t* image, int nx, int ny, float frac, float ped, int niter,
                  int32_t& count, int32_t*& addresses, int16_t*& old_values,
                  int16_t*& new_values);

// Despikes the product at path in the form that DESPIKE selects; problems
// are logged as warnings and never stop the run. The product is rewritten
// beside and renamed over itself, so a reader sees either form whole.
void despike_product(const char* path);

// The same for a product just written at file_path that no reader sees yet
// (it is renamed to product_path afterwards): its new form is written into
// the file itself, which spares writing its data a second time. Warnings
// name product_path. On a failed write the file is put back as first written.
void despike_new_product(const char* file_path, const char* product_path);
