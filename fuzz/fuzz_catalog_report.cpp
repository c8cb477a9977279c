// Fuzz target: tavo_catalog's reading of an audit report, on bytes given as
// the report file: parsed and checked field by field, or refused with a
// message.
#include "catalog.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz_support::scratch_directory() + "/audit_20170301T120000_20170301T121500.json";
    if (!fuzz_support::write_file(path, data, size)) return 0;
    nlohmann::json report;
    std::string error;
    tavo_catalog::read_report(path, report, error);
    return 0;
}
