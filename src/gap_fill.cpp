#include "gap_fill.h"

#include <cstdio>

#include <gdal_alg.h>

#include "config_option.h"
#include "error_watch.h"
#include "interruption.h"
#include "strips.h"
#include "working_copy.h"

CPLErr FillBandGaps(WorkingCopy& copy, int max_search_radius, const std::string& work_dir) {
    std::printf("Processing image\n");
    const ScopedConfigOption work_files("CPL_TMPDIR", work_dir);  // before any thread starts
    const StripPlan plan = PlanStripsFor(copy, max_search_radius, FillThreads());
    const ErrorWatch watch;
    const CPLErr status =
        plan.count > 1
            ? FillInStrips(copy, max_search_radius, plan)
            : GDALFillNodata(&copy.Band(), &copy.Mask(), static_cast<double>(max_search_radius),
                             0, kSmoothingIterations, nullptr, StopWhenInterrupted, nullptr);
    return status == CE_None && !watch.failed() && !LostBlocks(copy) ? CE_None : CE_Failure;
}

bool LostBlocks(WorkingCopy& copy) {
    if (!copy.Lost()) return false;
    CPLError(CE_Failure, CPLE_FileIO, "filled blocks of band 1 could not be kept");
    return true;
}
