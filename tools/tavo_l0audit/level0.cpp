// Reads the packet variable of a level-0 file directly with NetCDF-C.
#include <netcdf.h>

#include "audit.h"
#include "sim.h"

namespace tavo_audit {

namespace {

struct NcFile {
    int id = -1;
    ~NcFile() {
        if (id >= 0) nc_close(id);
    }
};

bool nc_failed(int status, const std::string& path, const char* what, std::string& error) {
    if (status == NC_NOERR) return false;
    error = path + ": " + what + ": " + nc_strerror(status);
    return true;
}

}  // namespace

bool read_packet_stream(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    NcFile file;
    int var = -1;
    int dims = 0;
    nc_type type = NC_NAT;
    if (nc_failed(nc_open(path.c_str(), NC_NOWRITE, &file.id), path, "cannot open", error) ||
        nc_failed(nc_inq_varid(file.id, tavo_sim::kDatasetName, &var), path, "no packet variable", error) ||
        nc_failed(nc_inq_var(file.id, var, nullptr, &type, &dims, nullptr, nullptr), path, "packet variable",
                  error)) {
        return false;
    }
    // The packet stream is one dimension of bytes; any other shape would
    // not be the stream the dump utility writes.
    if (dims != 1 || (type != NC_UBYTE && type != NC_BYTE)) {
        error = path + ": packet variable is not a one-dimensional byte array";
        return false;
    }
    int dim = -1;
    size_t length = 0;
    if (nc_failed(nc_inq_vardimid(file.id, var, &dim), path, "packet dimension", error) ||
        nc_failed(nc_inq_dimlen(file.id, dim, &length), path, "packet dimension", error)) {
        return false;
    }
    bytes.resize(length);
    if (length == 0) return true;
    // Signed bytes are read as they are: the values are packet bytes, not numbers.
    const int status = type == NC_UBYTE ? nc_get_var_uchar(file.id, var, bytes.data())
                                        : nc_get_var_schar(file.id, var, reinterpret_cast<signed char*>(bytes.data()));
    return !nc_failed(status, path, "cannot read packets", error);
}

}  // namespace tavo_audit
