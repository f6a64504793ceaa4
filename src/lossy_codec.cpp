#include "lossy_codec.h"

#include <cstdlib>
#include <string>

#include <cpl_string.h>
#include <gdal_priv.h>

std::string LossyCodec(GDALDataset& dataset) {
    const char* codec = dataset.GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
    if (!codec) return "";
    const std::string name = codec;
    // What the driver read from the blocks themselves, where it tells (GDAL 3.6 and later).
    const char* reversibility =
        dataset.GetMetadataItem("COMPRESSION_REVERSIBILITY", "IMAGE_STRUCTURE");
    const bool said_lossy = reversibility && EQUAL(reversibility, "LOSSY");
    const bool said_lossless = reversibility && STARTS_WITH_CI(reversibility, "LOSSLESS");
    if (STARTS_WITH_CI(codec, "JPEG") && !EQUAL(codec, "JPEGXL")) return name;
    if (EQUAL(codec, "WEBP") || EQUAL(codec, "JXL") || EQUAL(codec, "JPEGXL"))
        return said_lossless ? "" : name;
    if (STARTS_WITH_CI(codec, "LERC")) {
        const char* error = dataset.GetMetadataItem("MAX_Z_ERROR", "IMAGE_STRUCTURE");
        return said_lossy || (error && std::atof(error) > 0) ? name : "";
    }
    return "";
}
