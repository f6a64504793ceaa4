#include "byte_runs.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kGranule = 64, kPage = 4096;
}

ByteRuns FindChanges(const unsigned char* current, std::size_t existing,
                     const unsigned char* wanted, std::size_t size) {
    const auto differs = [&](std::size_t at) {
        return std::memcmp(current + at, wanted + at, std::min(kGranule, existing - at)) != 0;
    };
    ByteRuns runs;
    for (std::size_t at = 0; at < existing;) {
        if (!differs(at)) {
            at += kGranule;
            continue;
        }
        std::size_t stop = at + kGranule;
        for (std::size_t equal = 0; stop < existing && equal < kPage; stop += kGranule)
            equal = differs(stop) ? 0 : equal + kGranule;
        stop = std::min(stop, existing);
        runs.emplace_back(at, stop - at);
        at = stop;
    }
    if (existing < size) runs.emplace_back(existing, size - existing);
    return runs;
}

ByteRuns FindDifferences(const unsigned char* current, const unsigned char* wanted,
                         std::size_t size) {
    ByteRuns runs;
    for (std::size_t at = 0; at < size; at += kGranule) {
        const std::size_t length = std::min(kGranule, size - at);
        if (std::memcmp(current + at, wanted + at, length) == 0) continue;
        if (!runs.empty() && runs.back().first + runs.back().second == at)
            runs.back().second += length;
        else
            runs.emplace_back(at, length);
    }
    return runs;
}

namespace {

// `runs`, in order, with those fewer than a page apart joined into one.
ByteRuns Joined(const ByteRuns& runs) {
    ByteRuns joined;
    for (const auto& [at, size] : runs) {
        if (!joined.empty() && at < joined.back().first + joined.back().second + kPage)
            joined.back().second = at + size - joined.back().first;
        else
            joined.emplace_back(at, size);
    }
    return joined;
}

}  // namespace

WritePlan PlanWrite(const unsigned char* current, std::size_t existing, const unsigned char* wanted,
                    std::size_t size, const ByteRuns& unjournaled, bool compare) {
    WritePlan plan;
    std::size_t done = 0;
    for (const auto& [start, length] : unjournaled) {
        if (start > done) plan.write.emplace_back(done, start - done);
        const std::size_t there = existing > start ? std::min(existing - start, length) : 0;
        const unsigned char* under = there > 0 ? current + start : current;
        const ByteRuns runs =
            compare ? FindChanges(under, there, wanted + start, length) : WholeRuns(there, length);
        for (const auto& [from, run] : runs) {
            const std::size_t at = start + from;
            plan.write.emplace_back(at, run);
            if (!compare || at >= existing) {
                plan.journal.emplace_back(at, run);
                continue;
            }
            for (const auto& [d, differing] : FindDifferences(current + at, wanted + at, run))
                plan.journal.emplace_back(at + d, differing);
        }
        done = start + length;
    }
    if (done < size) plan.write.emplace_back(done, size - done);
    if (compare) plan.write = Joined(plan.write);
    return plan;
}

ByteRuns WholeRuns(std::size_t existing, std::size_t size) {
    ByteRuns runs;
    if (existing > 0) runs.emplace_back(0, existing);
    if (existing < size) runs.emplace_back(existing, size - existing);
    return runs;
}

bool Disjoint(std::vector<std::pair<std::uint64_t, std::uint64_t>> extents) {
    std::sort(extents.begin(), extents.end());
    for (std::size_t i = 1; i < extents.size(); ++i)
        if (extents[i].first < extents[i - 1].second) return false;
    return true;
}
