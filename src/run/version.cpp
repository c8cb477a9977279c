// The usage text and the version line.
#include <cstdio>
#include <cstring>

#include "run/run.h"

namespace {

constexpr const char* kReleaseText = "1.0";
// Expanded by the version-control system; the number is the revision.
constexpr const char* kRevisionKeyword = "$Rev: 18597 $";
constexpr size_t kRevisionCopy = 8;  // characters copied from the first digit on

constexpr const char* kUsagePieces[] = {
    "\nTAVO_L0 usage:\n\n",
    "To run using parameters within TAVO_configuration.cfg: TAVO_L0\n\n",
    "To run using a different configuration file: TAVO_L0 CONFIG=other.cfg\n\n",
    "To override selected parameters in TAVO_configuration.cfg:\n",
    " TAVO_L0 KITE=17 START=2018/11/01 END=2018/11/01\n\n",
    "Improper OUTPUT_ROOT_DIRECTORY values will produce no output files\n",
    " (including LOG files) with any error messages appearing in the terminal\n",
    " window only.  This includes cases where OUTPUT_ROOT_DIRECTORY is valid,\n",
    " but cannot be written due to permission or disk space issues.\n\n",
    "Missing or invalid input parameters will produce no output files, and\n",
    " error messages will only be displayed in the terminal window (no LOG files).\n\n",
    "If input data files exist for part of the time range specified, partial\n",
    "  outputs will still occur for the available data.\n\n",
    "If no input files are available for any part of the time range, no output\n",
    " will be generated and an error message will be generated.\n\n",
    "Input files which are present but corrupted will output valid data where\n",
    " possible and generate error messages for the invalid data files.\n\n",
    "To output this help screen: TAVO_L0 --help\n\n",
    "To output the current version of the software: TAVO_L0 --version\n\n",
};

}  // namespace

void revision_from_keyword(const char* keyword, char (&revision)[kRevisionSlot]) {
    std::memcpy(revision, "00000", sizeof "00000");
    const char* colon = std::strstr(keyword, ": ");
    if (colon == nullptr || colon[2] < '0' || colon[2] > '9') return;
    // Copy at most kRevisionCopy characters, keep at most the first 7, cut at a blank.
    const char* digits = colon + 2;
    size_t length = strnlen(digits, kRevisionCopy);
    if (length > kRevisionSlot - 1) length = kRevisionSlot - 1;
    const void* blank = std::memchr(digits, ' ', length);
    if (blank != nullptr) length = static_cast<size_t>(static_cast<const char*>(blank) - digits);
    std::memcpy(revision, digits, length);
    revision[length] = '\0';
}

void print_usage() {
    for (const char* piece : kUsagePieces) std::fputs(piece, stdout);
    std::fflush(stdout);
}

void print_version() {
    char revision[kRevisionSlot];
    revision_from_keyword(kRevisionKeyword, revision);
    std::printf("TAVO_L0 Released Version %s.%s\n", kReleaseText, revision);
    std::fflush(stdout);
}
