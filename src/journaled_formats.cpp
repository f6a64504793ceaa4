#include "journaled_formats.h"

#include <algorithm>
#include <iterator>

namespace {

// GeoTIFF covers all its layouts: strips or tiles, compressed or not, with internal or `.msk`
// masks and `.aux.xml` side-cars.
constexpr const char* kJournaled[] = {"GTiff", "ENVI", "HFA", "PCIDSK",
                                      "EHdr",  "SAGA", "GTX", "MRF"};

}  // namespace

bool IsJournaledFormat(const std::string& driver_short_name) {
    return std::find(std::begin(kJournaled), std::end(kJournaled), driver_short_name) !=
           std::end(kJournaled);
}
