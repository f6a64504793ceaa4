#include "dataset_path.h"

#include <filesystem>
#include <system_error>

#include <gdal.h>

#include "message.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

bool IsVirtualPath(const std::string& path) { return path.compare(0, 4, "/vsi") == 0; }

}  // namespace

DatasetPath ExamineDatasetPath(const std::string& given) {
    DatasetPath result{given, "", ""};
    const std::string quoted = Quoted(given);
    std::error_code error;
    const fs::path native = fs::u8path(given);  // paths are UTF-8 on every platform, as GDAL's
    const fs::file_status status = given.empty() ? fs::file_status() : fs::status(native, error);
    if (!fs::exists(status)) {
        // GDALIdentifyDriver only reads; it names a driver for a prefix whatever follows it.
        if (!given.empty() && (IsVirtualPath(given) || GDALIdentifyDriver(given.c_str(), nullptr)))
            result.refusal = quoted +
                             " is not a local file's own path (a GDAL driver prefix or /vsi "
                             "path); give the file's path";
        return result;
    }
    if (!fs::is_regular_file(status) && !fs::is_directory(status)) {
        result.refusal = quoted + " is not a regular file";
        return result;
    }
    if (fs::is_symlink(fs::symlink_status(native, error))) {
        const fs::path real = fs::canonical(native, error);
        if (!error) result.file = real.u8string();
    }
    // Counted by the system itself: a C++ library on Windows may count one name for any file.
    platform::FileInfo info;
    if (fs::is_regular_file(status) && platform::InfoAt(result.file, info) && info.links > 1)
        result.warning = quoted + " has " + std::to_string(info.links) +
                         " names (hard links); a run through another name cannot see this "
                         "run's journal";
    return result;
}
