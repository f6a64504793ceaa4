#include "memory_raster.h"

#include <cpl_string.h>

GDALDatasetUniquePtr MemoryRaster(int width, int height) {
    GDALDriver* memory = GetGDALDriverManager()->GetDriverByName("MEM");
    return GDALDatasetUniquePtr(memory->Create("", width, height, 0, GDT_Byte, nullptr));
}

CPLErr AddBandOver(GDALDataset& dataset, GDALDataType type, void* data) {
    CPLStringList options;
    char pointer[64] = {};
    CPLPrintPointer(pointer, data, sizeof pointer - 1);
    options.SetNameValue("DATAPOINTER", pointer);
    return dataset.AddBand(type, options.List());
}
