#include "byte_runs.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kGranule = 64, kPage = 4096;

// Differences less than a page apart as one run, each run taking in the page of equal bytes
// after its last difference, within the first `existing` bytes.
ByteRuns Spread(const ByteRuns& differences, std::size_t existing) {
    ByteRuns runs;
    for (const auto& [at, size] : differences) {
        const std::size_t end = std::min(existing, at + size + kPage);
        if (!runs.empty() && at < runs.back().first + runs.back().second)
            runs.back().second = end - runs.back().first;
        else
            runs.emplace_back(at, end - at);
    }
    return runs;
}

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

ByteRuns FindChanges(const unsigned char* current, std::size_t existing,
                     const unsigned char* wanted, std::size_t size) {
    ByteRuns runs = Spread(FindDifferences(current, wanted, existing), existing);
    if (existing < size) runs.emplace_back(existing, size - existing);
    return runs;
}

WritePlan PlanWrite(const unsigned char* current, std::size_t existing, const unsigned char* wanted,
                    std::size_t size, const ByteRuns& unjournaled, bool compare) {
    WritePlan plan;
    const auto add = [&plan](std::size_t at, std::size_t length, bool journal) {
        plan.write.emplace_back(at, length);
        if (journal) plan.journal.emplace_back(at, length);
    };
    std::size_t done = 0;
    for (const auto& [start, length] : unjournaled) {
        if (start > done) add(done, start - done, false);  // journaled already: out whole
        const std::size_t there = existing > start ? std::min(existing - start, length) : 0;
        if (!compare) {
            for (const auto& [at, run] : WholeRuns(there, length)) add(start + at, run, true);
        } else {
            const ByteRuns differences =
                FindDifferences(there > 0 ? current + start : current, wanted + start, there);
            for (const auto& [at, run] : differences) plan.journal.emplace_back(start + at, run);
            for (const auto& [at, run] : Spread(differences, there)) add(start + at, run, false);
            if (there < length) add(start + there, length - there, true);
        }
        done = start + length;
    }
    if (done < size) add(done, size - done, false);
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
