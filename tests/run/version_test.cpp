// The revision number taken from a version-control keyword.
#include <gtest/gtest.h>

#include <string>

#include "run/run.h"

namespace {

TEST(RevisionFromKeyword, TakesTheNumberAfterTheColon) {
    struct Case {
        const char* keyword;
        const char* revision;
    };
    const Case cases[] = {
        {"$Rev: 18597 $", "18597"},
        {"$Rev: 123456789 $", "1234567"},  // at most 7 characters
        {"$Rev: 12 34 $", "12"},
        {"$Rev: 7$", "7$"},
        {"$Rev$", "00000"},
        {"$Rev: $", "00000"},
        {"$Rev:18597 $", "00000"},
        {"", "00000"},
        {"a: b: 5", "00000"},  // only the first ": " counts
    };
    for (const Case& c : cases) {
        char revision[kRevisionSlot];
        revision_from_keyword(c.keyword, revision);
        EXPECT_EQ(std::string(revision), c.revision) << c.keyword;
    }
}

}  // namespace
