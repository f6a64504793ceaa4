// The benchmark's floor: the least a program can do to fill a file in place the way gapMend
// does. It opens the file for update, makes the same GDALFillNodata call, closes it, and nothing
// else: no report, no checks, no keeping of original pixels.
//
//   fill_floor <dataset> <max search radius>
#include <cstdlib>

#include <gdal_alg.h>
#include <gdal_priv.h>

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    GDALAllRegister();
    GDALDatasetH dataset = GDALOpen(argv[1], GA_Update);
    if (!dataset) return 2;
    GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
    const CPLErr status = GDALFillNodata(band, GDALGetMaskBand(band), std::atoi(argv[2]), 0, 3,
                                         nullptr, nullptr, nullptr);
    GDALClose(dataset);
    return status == CE_None ? 0 : 3;
}
