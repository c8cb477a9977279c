// The product directory of an image: KITE-nn/yyyy/mm/dd/Hhh00 under
// OUTPUT_ROOT_DIRECTORY, each level made sure of for every image.
#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "layout/layout.h"
#include "packets/packets.h"

namespace {

// Forms the path level by level; with create, each level is made sure of.
bool product_directory(char* run_message, uint32_t image_date, uint32_t image_time, char (&path)[kProductPathSlot],
                       bool create) {
    ProductTreeLevels names;
    format_product_tree_levels(run_settings.param_number[PARAM_KITE], image_date, image_time, names);

    std::snprintf(path, kProductPathSlot, "%s", run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY]);
    for (const char* name : names) {
        const size_t used = std::strlen(path);
        if ((create && !make_directory(path, name)) ||
            std::snprintf(path + used, kProductPathSlot - used, "%s%c", name, run_settings.path_separator) >=
                static_cast<int>(kProductPathSlot - used)) {
            path[used] = '\0';
            set_run_message(run_message, "ERROR - Failed to create subdirectory %s%s", path, name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool make_product_directory(char* run_message, uint32_t image_date, uint32_t image_time,
                            char (&path)[kProductPathSlot]) {
    return product_directory(run_message, image_date, image_time, path, true);
}

bool format_product_directory(char* run_message, uint32_t image_date, uint32_t image_time,
                              char (&path)[kProductPathSlot]) {
    return product_directory(run_message, image_date, image_time, path, false);
}
