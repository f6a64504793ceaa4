#include "overview_method.h"

#include <algorithm>
#include <cstring>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_priv.h>

namespace overview {

namespace {

constexpr int kSample = 8;  // the side of a window that tells the methods apart
constexpr int kSamplesPerLevel = 12;
constexpr int kMostSampleReads = 256;  // per level, for levels that are flat nearly everywhere

bool Uniform(const std::vector<GByte>& pixels, int pixel_bytes) {
    for (size_t at = pixel_bytes; at < pixels.size(); at += pixel_bytes)
        if (std::memcmp(&pixels[at], pixels.data(), pixel_bytes) != 0) return false;
    return true;
}

// A few small windows of each level that are not uniform, spread over it, away from the pixels it
// marks as reached, with the pixels the file holds.
struct Sample {
    size_t level;
    PixelWindow window;
    std::vector<GByte> pixels;
};
std::vector<Sample> Samples(const Pyramid& p) {
    std::vector<Sample> samples;
    const Tiles none;
    for (size_t k = 1; k < p.levels.size(); ++k) {
        const Level& level = p.levels[k];
        const int across = level.width / kSample, cells = across * (level.height / kSample);
        int found = 0, read = 0;
        for (int i = 0; i < cells && found < kSamplesPerLevel && read < kMostSampleReads; ++i) {
            const int cell = int((i * 7919LL + i / 64) % cells);  // spread over the level
            const PixelWindow w{cell % across * kSample, cell / across * kSample, kSample, kSample};
            if (std::any_of(level.reached.begin(), level.reached.end(),
                            [&](const PixelWindow& near) { return Overlap(near, w); }))
                continue;
            std::vector<GByte> pixels(size_t(kSample) * kSample * p.pixel_bytes);
            ++read;
            if (ReadLevel(p, k, none, w, pixels.data()) != CE_None) break;
            if (Uniform(pixels, p.pixel_bytes)) continue;
            samples.push_back({k, w, std::move(pixels)});
            ++found;
        }
    }
    return samples;
}

// Which level GDAL builds each level from: the one before it, but for an uncompressed .ovr the
// band itself with nearest or a per-dataset mask. The samples of the smaller levels check it.
bool FromBase(const Pyramid& p, const Method& method) {
    GDALDataset* overviews = p.levels[1].band->GetDataset();
    const bool ovr = overviews && overviews != p.levels[0].band->GetDataset() &&
                     EQUAL(CPLGetExtension(overviews->GetDescription()), "ovr");
    const bool uncompressed = ovr && !overviews->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
    const bool per_dataset = (p.levels[0].band->GetMaskFlags() & GMF_PER_DATASET) != 0;
    return uncompressed && (EQUAL(method.name, "NEAREST") || per_dataset);
}

}  // namespace

std::vector<Candidate> Survivors(const Pyramid& p) {
    std::vector<Candidate> all;
    for (const Method& method : kMethods) all.push_back({&method, p.masked, FromBase(p, method)});
    const std::vector<Sample> samples = Samples(p);
    const std::vector<Tiles> none(p.levels.size());
    std::vector<Candidate> survivors;
    std::vector<GByte> pixels;
    std::mutex io;
    for (const Candidate& c : all)
        if (std::all_of(samples.begin(), samples.end(), [&](const Sample& s) {
                return Compute(p, s.level, s.window, c, none, io, pixels) == CE_None &&
                       pixels == s.pixels;
            }))
            survivors.push_back(c);
    CPLErrorReset();  // a method this GDAL lacks is just no candidate
    return survivors;
}

}  // namespace overview

std::string OverviewMethod(GDALRasterBand& band) {
    const overview::Pyramid p = overview::PyramidOf(band);
    if (p.levels.size() < 2) return "";
    const std::vector<overview::Candidate> survivors = overview::Survivors(p);
    return survivors.empty() ? "" : survivors[0].method->name;
}
