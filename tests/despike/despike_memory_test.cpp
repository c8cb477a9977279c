// Allocation failures injected into the despike step. The array forms of
// operator new and delete are replaced for this whole test program (through
// malloc and free, so they stay consistent); a countdown makes one chosen
// nothrow array allocation fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "despike/despike.h"
#include "despike/product_builder.h"
#include "despike/reference_despike.h"
#include "support/test_support.h"

namespace {
int allocations_until_failure = 0;  // 0: never fail
}

void* operator new[](std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (allocations_until_failure > 0 && --allocations_until_failure == 0) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

std::vector<int16_t> spiky_image(int nx, int ny) {
    std::vector<int16_t> image(static_cast<size_t>(nx) * ny, 100);
    image[3 * nx + 4] = 900;
    image[6 * nx + 7] = 700;
    return image;
}

// Allocations of one call, in order: the flag row, the row marks, the three
// work lists, the three result arrays. Whichever fails, the call reports -1 and leaves
// the image and the outputs as they were.
TEST(DespikeMemory, EveryAllocationFailureLeavesImageAndOutputsUntouched) {
    const int nx = 12, ny = 10;
    const std::vector<int16_t> before = spiky_image(nx, ny);
    for (int failing = 1; failing <= 8; ++failing) {
        std::vector<int16_t> image = before;
        int32_t count = -7;
        int32_t sentinel_address[1];
        int16_t sentinel_value[1];
        int32_t* addresses = sentinel_address;
        int16_t* old_values = sentinel_value;
        int16_t* new_values = sentinel_value;
        allocations_until_failure = failing;
        const int status = despike_image(image.data(), nx, ny, 0.7f, 0.0f, 3, count, addresses, old_values,
                                         new_values);
        allocations_until_failure = 0;
        EXPECT_EQ(status, -1) << "allocation " << failing;
        EXPECT_EQ(count, -7);
        EXPECT_EQ(addresses, sentinel_address);
        EXPECT_EQ(old_values, sentinel_value);
        EXPECT_EQ(new_values, sentinel_value);
        EXPECT_EQ(image, before) << "allocation " << failing;
    }
}

// When the work lists cannot grow, the pass that needed the room is not
// applied and the passes before it stand: the result is that of fewer passes.
TEST(DespikeMemory, WorkListsThatCannotGrowEndThePasses) {
    const int nx = 14, ny = 11;
    std::vector<int16_t> image(nx * ny);
    unsigned seed = 3;
    for (auto& v : image) v = static_cast<int16_t>(1 + (seed = seed * 1103515245u + 12345u) % 30000u);
    const float frac = -0.95f;  // nearly every pixel is flagged on every pass
    std::vector<int16_t> work = image;
    int32_t count = 0;
    int32_t* addresses = nullptr;
    int16_t* old_values = nullptr;
    int16_t* new_values = nullptr;
    allocations_until_failure = 6;  // the first growth of the work lists
    const int status = despike_image(work.data(), nx, ny, frac, 0.0f, 20, count, addresses, old_values, new_values);
    allocations_until_failure = 0;
    ASSERT_EQ(status, 0);
    const std::vector<int32_t> got(addresses, addresses + count);
    delete[] addresses;
    delete[] old_values;
    delete[] new_values;
    int matching_passes = 0;
    for (int passes = 1; passes < 20 && matching_passes == 0; ++passes) {
        const reference::Outcome expected = reference::despike(image, nx, ny, frac, 0.0f, passes);
        if (expected.addresses == got && expected.image == work) matching_passes = passes;
    }
    EXPECT_GT(matching_passes, 0);
}

TEST(DespikeMemory, ProductKeepsItsFormWhenMemoryRunsOut) {
    test_support::TempDir dir("tavo-despike-memory");
    const std::string path = dir / "product.fits";
    product_builder::ProductPlan plan;
    plan.pixels = spiky_image(plan.nx, plan.ny);
    test_support::write_file(path, product_builder::build_product(plan));
    const std::string before = test_support::read_file(path);
    allocations_until_failure = 1;
    const auto lines = product_builder::run_despike_product(path, true, dir.path());
    allocations_until_failure = 0;
    EXPECT_EQ(lines, std::vector<std::string>{"DESPIKE WARNING - insufficient memory to despike " + path});
    EXPECT_EQ(test_support::read_file(path), before);
}

}  // namespace
