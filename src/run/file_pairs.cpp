// The walk over a run's input files, each with its successor.
#include "run/run.h"

int file_pair_count(int file_count) { return file_count <= 1 ? file_count : file_count - 1; }

bool walk_file_pairs(int file_count, FilePairVisit visit, void* context) {
    if (file_count == 1) return visit(context, 0, true, 0, -1);
    for (int i = 0; i + 1 < file_count; ++i) {
        if (!visit(context, i, i + 1 == file_count - 1, i, i + 1)) return false;
    }
    return true;
}
