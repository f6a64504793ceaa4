#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Which bytes of a write change the file: GDAL rewrites whole blocks of which the fill changed a
// few pixels, and the guard writes only the runs that differ, and journals only the granules of
// them that differ. Plain functions of the bytes, with no file in sight.

// Runs of bytes, each its offset and size, in order.
using ByteRuns = std::vector<std::pair<std::uint64_t, std::size_t>>;

// The runs of `wanted` (`size` bytes) that differ from `current`, what the file holds under its
// first `existing` bytes (existing <= size); all that lies beyond them differs, as one run.
// Bytes are compared in granules of 64, and a run goes on until a page (4096 bytes) of equal
// granules follows its last difference, taking that page in: the disk writes whole pages anyway.
ByteRuns FindChanges(const unsigned char* current, std::size_t existing,
                     const unsigned char* wanted, std::size_t size);

// The granules of 64 bytes of `wanted` that differ from `current` (`size` bytes each), adjacent
// ones joined: what a run of FindChanges changes, and so what the journal needs of it. The equal
// bytes between them are written with the run unjournaled: whatever a crash makes of them, they
// hold what they held.
ByteRuns FindDifferences(const unsigned char* current, const unsigned char* wanted,
                         std::size_t size);

// What the guard does with a write of `size` bytes, `wanted`, over `existing` bytes of the file,
// `current` (existing <= size), of which the journal holds all but the runs `unjournaled`.
// What the journal holds goes out whole. Of the rest, the runs that differ go out (all of it unless
// `compare`, where writes overlap), and the granules of them that differ are journaled (all that
// goes out, unless `compare`). Runs less than a page apart go out as one, with the equal bytes
// between them.
struct WritePlan {
    ByteRuns write, journal;
};
WritePlan PlanWrite(const unsigned char* current, std::size_t existing, const unsigned char* wanted,
                    std::size_t size, const ByteRuns& unjournaled, bool compare);

// The runs FindChanges gives when every byte differs: the existing bytes, then those beyond.
ByteRuns WholeRuns(std::size_t existing, std::size_t size);

// Whether no two of the extents [begin, end) share a byte.
bool Disjoint(std::vector<std::pair<std::uint64_t, std::uint64_t>> extents);
