// The walk over a run's input files, each with its successor.
#include "run/run.h"

int file_pair_count(int file_count) { return file_count <= 1 ? file_count : file_count - 1; }

FilePair first_file_pair(int file_count) {
    if (file_count <= 0) return FilePair{};
    return FilePair{0, file_count == 1 ? -1 : 1};
}

FilePair file_pair_after(int file_count, FilePair pair) {
    if (pair.successor < 0 || pair.successor + 1 >= file_count) return FilePair{};
    return FilePair{pair.successor, pair.successor + 1};
}

bool walk_file_pairs(int file_count, FilePairVisit visit, void* context) {
    int index = 0;
    for (FilePair pair = first_file_pair(file_count); pair.current >= 0; ++index) {
        const FilePair next = file_pair_after(file_count, pair);
        if (!visit(context, index, next.current < 0, pair.current, pair.successor)) return false;
        pair = next;
    }
    return true;
}
