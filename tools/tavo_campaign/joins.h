// Join records: the images absent from the level-0 between two windows.
//
// A window's audit infers absent images only between two images of its own
// window, so the ids lost between a window's last image and the next
// window's first (a level-0 file lost at a join, say) are in no audit. Once
// both windows are done with audits, the window after the join gets a join
// record, windows/NNNN/join.json: the ids absent between its first image and
// the last image of the windows before it, inferred as one audit over both
// would infer them. It has the shape of an audit report (schema 2; tool
// "tavo_campaign", window the join's instant, no files and no images), so
// that tavo_catalog ingests it like one, and a newer record of the same join
// replaces the older.
#pragma once

#include <string>
#include <vector>

#include "campaign.h"

namespace campaign {

// (Re)writes the join records touching window number, as far as the windows
// around it are done with audits: its own, and that of the next window with
// images after it. A record whose content has not changed is left as it is.
// Returns the records' paths, to ingest into the catalog after the window's
// audit (an unchanged one ingests as "unchanged").
std::vector<std::string> write_join_records(const Campaign& c, int number);

// Every window's join record, as far as the windows are done with audits;
// their paths.
std::vector<std::string> write_all_join_records(const Campaign& c);

}  // namespace campaign
