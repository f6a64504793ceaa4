#include "gap_fill.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <gdal_alg.h>

#include "interruption.h"
#include "strips.h"
#include "temp_dir.h"
#include "working_copy.h"

int ParseMaxSearchRadius(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

CPLErr FillBandGaps(WorkingCopy& copy, int max_search_radius, const std::string& work_dir) {
    std::printf("Processing image\n");
    const GdalTempFilesIn work_files(work_dir);  // before any thread starts
    const StripPlan plan = PlanStripsFor(copy, max_search_radius, FillThreads());
    if (plan.count > 1) return FillInStrips(copy, max_search_radius, plan);
    return GDALFillNodata(&copy.Band(), &copy.Mask(), static_cast<double>(max_search_radius), 0,
                          kSmoothingIterations, nullptr, StopWhenInterrupted, nullptr);
}
