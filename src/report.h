#pragma once

class GDALDataset;

// Prints a short report on the dataset and its band 1 to standard output: block size and pixel
// type, no-data value, driver, size, projection, origin, pixel size and mask flags. Reads only;
// the dataset must have a band 1.
void PrintDatasetReport(GDALDataset& dataset);

// The no-data value as the report prints it: truncated toward zero, and INT_MIN for NaN and for
// anything outside the int range, so the conversion is always defined.
int NoDataValueAsInt(double value);
