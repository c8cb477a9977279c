// Level-0 files: names, day directories, and the NetCDF-4 and raw writers.
// Each file is written under a temporary name and renamed when complete, so
// an interrupted run never leaves a file that looks whole. The temporary
// name is created afresh, never through a link or a leftover standing there.
#include <fcntl.h>
#include <netcdf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "layout/layout.h"
#include "level0_reader.h"
#include "output_file.h"
#include "sim.h"

namespace tavo_sim {
namespace {

constexpr size_t kChunkBytes = 1 << 20;
constexpr const char* kPartSuffix = ".part";

struct NetcdfFile {
    int id = -1;
    ~NetcdfFile() {
        if (id >= 0) nc_close(id);
    }
};

bool nc_ok(int status, const char* what, const std::string& path, std::string& error) {
    if (status == NC_NOERR) return true;
    error = std::string("NetCDF ") + what + " failed for " + path + ": " + nc_strerror(status);
    return false;
}

bool put_text(int ncid, const char* name, const std::string& value, const std::string& path, std::string& error) {
    return nc_ok(nc_put_att_text(ncid, NC_GLOBAL, name, value.size(), value.c_str()), name, path, error);
}

bool finish_rename(const std::string& temp, const std::string& path, std::string& error) {
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temp + " to " + path;
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool define_netcdf(const Settings& s, int ncid, const FileInfo& info, size_t length, int& var,
                   const std::string& path, std::string& error) {
    int dim = -1;
    if (!nc_ok(nc_def_dim(ncid, kDimensionName, length, &dim), "nc_def_dim", path, error) ||
        !nc_ok(nc_def_var(ncid, kPacketDatasetName, NC_UBYTE, 1, &dim, &var), "nc_def_var", path, error))
        return false;
    size_t chunk = length < kChunkBytes ? length : kChunkBytes;
    if (!nc_ok(nc_def_var_chunking(ncid, var, NC_CHUNKED, &chunk), "nc_def_var_chunking", path, error) ||
        !nc_ok(nc_def_var_deflate(ncid, var, 0, s.deflate_level > 0, s.deflate_level), "nc_def_var_deflate", path,
               error))
        return false;
    const std::string long_name = "CCSDS space packets of the TAVO instrument, laid end to end";
    if (!nc_ok(nc_put_att_text(ncid, var, "long_name", long_name.size(), long_name.c_str()), "long_name", path,
               error))
        return false;
    char kite[kTreeLevelSlot];
    format_satellite_directory(s.kite, kite);
    unsigned packets = info.packets;
    unsigned long long seed = s.seed;
    return put_text(ncid, "title", "TAVO Level 0 space packet data", path, error) &&
           put_text(ncid, "platform_ID", kite, path, error) &&
           put_text(ncid, "instrument_ID", "TAVO", path, error) &&
           put_text(ncid, "instrument_type", "extreme-ultraviolet solar imager", path, error) &&
           put_text(ncid, "processing_level", "L0", path, error) &&
           put_text(ncid, "time_coverage_start", iso_text(info.start, 1), path, error) &&
           put_text(ncid, "time_coverage_end", iso_text(info.end - kMicrosPerSecond / 10, 1), path, error) &&
           put_text(ncid, "date_created", iso_text(info.end + kDeliveryDelay, 1), path, error) &&
           nc_ok(nc_put_att_uint(ncid, NC_GLOBAL, "packet_count", NC_UINT, 1, &packets), "packet_count", path,
                 error) &&
           put_text(ncid, "production_site", "tavo_l0sim simulated ground system", path, error) &&
           put_text(ncid, "simulator_version", kSimVersion, path, error) &&
           nc_ok(nc_put_att_ulonglong(ncid, NC_GLOBAL, "simulator_seed", NC_UINT64, 1, &seed), "simulator_seed",
                 path, error);
}

}  // namespace

std::string file_name(const Settings& s, Micros file_start, Micros file_end, bool raw) {
    char buf[128];
    // The end field names the last tenth of a second the file covers.
    std::snprintf(buf, sizeof buf, "OR_TAVO-L0_K%02d_s%s_e%s_c%s%s", s.kite, name_time_field(file_start).c_str(),
                  name_time_field(file_end - kMicrosPerSecond / 10).c_str(),
                  name_time_field(file_end + kDeliveryDelay).c_str(), raw ? ".bin" : ".nc");
    return buf;
}

std::string day_directory(const Settings& s, Micros file_start) {
    if (s.layout == Layout::flat) return "";
    Civil c = to_civil(file_start);
    bool ordinal = s.layout == Layout::ordinal;
    if (s.layout == Layout::mixed) ordinal = (file_start / kMicrosPerDay) % 2 == 0;
    char buf[32];
    if (ordinal)
        std::snprintf(buf, sizeof buf, "K%02d_%04d_%03d", s.kite, c.year, c.day_of_year);
    else
        std::snprintf(buf, sizeof buf, "K%02d_%04d%02d%02d", s.kite, c.year, c.month, c.day);
    return buf;
}

std::string part_path(const std::string& path) { return path + kPartSuffix; }

bool write_netcdf_file(const Settings& s, const std::string& path, const FileInfo& info,
                       const std::vector<uint8_t>& stream, std::string& error) {
    const std::string temp = part_path(path);
    if (!tavo_tools::remove_leftover(temp, error)) return false;
    {
        NetcdfFile file;
        int var = -1;
        // No clobber: the library creates the name exclusively, so nothing planted there since is followed.
        if (!nc_ok(nc_create(temp.c_str(), NC_NETCDF4 | NC_NOCLOBBER, &file.id), "nc_create", temp, error) ||
            !define_netcdf(s, file.id, info, stream.size(), var, temp, error) ||
            !nc_ok(nc_enddef(file.id), "nc_enddef", temp, error) ||
            !nc_ok(nc_put_var_uchar(file.id, var, stream.data()), "nc_put_var", temp, error)) {
            std::remove(temp.c_str());
            return false;
        }
        int status = nc_close(file.id);
        file.id = -1;
        if (!nc_ok(status, "nc_close", temp, error)) {
            std::remove(temp.c_str());
            return false;
        }
    }
    return finish_rename(temp, path, error);
}

bool write_raw_file(const std::string& path, const std::vector<uint8_t>& stream, std::string& error) {
    const std::string temp = part_path(path);
    const int fd = tavo_tools::create_output(temp, error);
    if (fd < 0) return false;
    FileHandle f(fdopen(fd, "wb"));
    if (!f) {
        close(fd);
        error = "cannot create " + temp;
        std::remove(temp.c_str());
        return false;
    }
    bool ok = std::fwrite(stream.data(), 1, stream.size(), f.get()) == stream.size();
    ok = std::fflush(f.get()) == 0 && ok;
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok) {
        error = "cannot write " + temp;
        std::remove(temp.c_str());
        return false;
    }
    return finish_rename(temp, path, error);
}

bool damage_level0_file(const std::string& path, FaultKind kind, std::string& error) {
    if (kind == FaultKind::not_hdf5) {
        // Replaced as a whole, renamed onto the name: never written through a link.
        return tavo_tools::write_output_file(
            path, "This is no HDF5 file: the ground system delivered a page of text.\n", error);
    }
    tavo_level0::Dataset dataset;
    if (!tavo_level0::open_dataset(path, kPacketDatasetName, dataset, error)) return false;
    hsize_t chunks = 0;
    haddr_t address = 0;
    hsize_t size = 0;
    unsigned filter_mask = 0;
    std::vector<hsize_t> offset(dataset.dims.size());
    const tavo_level0::Hdf5Id space(H5Dget_space(dataset.dataset.get()), H5Sclose);
    if (!space.valid() || H5Dget_num_chunks(dataset.dataset.get(), space.get(), &chunks) < 0 || chunks == 0 ||
        H5Dget_chunk_info(dataset.dataset.get(), space.get(), chunks - 1, offset.data(), &filter_mask, &address,
                          &size) < 0) {
        error = "cannot find the packet data's chunks in " + path;
        return false;
    }
    // The file just written, damaged in place: a link standing there instead is refused.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    const std::vector<char> zeros(std::min<hsize_t>(64, size), 0);
    const bool damaged = fd >= 0 && pwrite(fd, zeros.data(), zeros.size(), static_cast<off_t>(address + size / 2)) ==
                                        static_cast<ssize_t>(zeros.size());
    if (fd >= 0) ::close(fd);
    if (!damaged) error = "cannot damage " + path;
    return damaged;
}

}  // namespace tavo_sim
