#pragma once

#include <string>

class GDALDataset;

// A lossy codec (JPEG, lossy WEBP or JPEG-XL, LERC with a tolerated error) encodes every block
// that the write-back writes again, so that its valid pixels change by the codec's error, too:
// the fill goes on, and the user is told so before the write-back. The codec's name, or an empty
// text when the file's blocks are kept exactly.
std::string LossyCodec(GDALDataset& dataset);
