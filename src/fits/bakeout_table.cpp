// The bakeout events of each flight model and the LAST_BAKEOUT_TIME rule.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "fits/fits.h"

namespace {

// Events in chronological order: a time text, " - " and the event word.
constexpr const char* kFm1Events[] = {
    "2016-12-09 14:31:25.174 - On-orbit Activation",
    "2016-12-09 14:31:26.174 - Start",
    "2017-01-21 13:25:13.710 - End",
    "2017-12-11 20:54:42.386 - Start",
    "2017-12-13 20:17:34.428 - End",
};
constexpr const char* kFm2Events[] = {
    "2018-03-27 14:50:38.092 - On-orbit Activation",
    "2018-03-27 14:50:39.092 - Start",
    "2018-05-14 16:53:42.728 - End",
};

struct BakeoutList {
    uint32_t flight_model;
    const char* const* events;
    int count;
};

constexpr BakeoutList kBakeoutLists[] = {
    {1, kFm1Events, static_cast<int>(std::size(kFm1Events))},
    {2, kFm2Events, static_cast<int>(std::size(kFm2Events))},
};

// An event is usable when it starts with a time text (digits at its first
// and last character) followed by a space.
bool is_usable_event(const char* event) {
    return std::strlen(event) > kTimeTextLength && std::isdigit(static_cast<unsigned char>(event[0])) &&
           std::isdigit(static_cast<unsigned char>(event[kTimeTextLength - 1])) && event[kTimeTextLength] == ' ';
}

}  // namespace

void find_last_bakeout_time(uint32_t flight_model, const char* image_time_text, char (&text)[kTimeTextSlot]) {
    std::snprintf(text, sizeof text, "Unknown for FM %03u     ", static_cast<unsigned>(flight_model));
    for (const BakeoutList& list : kBakeoutLists) {
        if (list.flight_model != flight_model) continue;
        bool first = true;
        for (int i = 0; i < list.count; ++i) {
            const char* event = list.events[i];
            if (!is_usable_event(event)) continue;
            char stamp[kTimeTextLength + 1];
            std::memcpy(stamp, event, kTimeTextLength);
            stamp[kTimeTextLength] = '\0';
            // Time texts of this fixed form compare chronologically.
            if (first || std::strcmp(stamp, image_time_text) < 0) {
                std::memcpy(text, stamp, sizeof stamp);
                first = false;
            }
        }
    }
}
