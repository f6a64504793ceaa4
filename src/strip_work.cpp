#include "strip_work.h"

#include <algorithm>
#include <cstddef>

#include <gdal_priv.h>

#include "interruption.h"
#include "working_copy.h"

namespace {

// A row's work from its mask: a unit a pixel, and min(L, R) more for each gap in a run of L.
double WorkOfRow(const GByte* valid, int width, int max_search_radius) {
    double work = width;
    for (int x = 0; x < width;) {
        if (valid[x]) {
            ++x;
            continue;
        }
        const int start = x;
        while (x < width && !valid[x]) ++x;
        const double run = x - start;
        work += run * std::min<double>(run, max_search_radius);
    }
    return work;
}

// The work of the rows [top, end): sums of the prefix `sums`, cut at the band's edges.
double Between(const std::vector<double>& sums, long long top, long long end) {
    const long long height = static_cast<long long>(sums.size()) - 1;
    return sums[std::min(end, height)] - sums[std::max(top, 0LL)];
}

// At most `count` strips whose windows cost at most `most` each, each as tall as that allows,
// from the top; empty when they do not reach the bottom.
std::vector<int> GreedyTops(const std::vector<double>& sums, double most, int count, int above,
                            int below, int most_rows) {
    const int height = static_cast<int>(sums.size()) - 1;
    std::vector<int> tops;
    for (int top = 0; top < height;) {
        const auto fits = [&](int end) {
            return Between(sums, top - above, static_cast<long long>(end) + below) <= most;
        };
        if (static_cast<int>(tops.size()) == count || !fits(top + 1)) return {};
        int end = top + 1, last = std::min(height, top + most_rows);  // the end lies in [end, last]
        while (end < last) {
            const int middle = end + (last - end + 1) / 2;
            if (fits(middle))
                end = middle;
            else
                last = middle - 1;
        }
        tops.push_back(top);
        top = end;
    }
    return tops;
}

}  // namespace

std::vector<double> RowWork(GDALRasterBand& band, int max_search_radius) {
    const int width = band.GetXSize(), height = band.GetYSize();
    int block_width = 0, block_height = 0;
    band.GetBlockSize(&block_width, &block_height);
    const int chunk = std::max(1, (64 + block_height - 1) / block_height) * block_height;
    std::vector<GByte> valid(static_cast<size_t>(width) * std::min(chunk, height));
    std::vector<double> work(height);
    for (int y = 0; y < height; y += chunk) {
        if (Interrupted()) return {};  // the fill then stops at once
        const int rows = std::min(chunk, height - y);
        if (ReadMaskWindow(band, 0, y, width, rows, valid.data()) != CE_None) return {};
        for (int row = 0; row < rows; ++row)
            work[y + row] = WorkOfRow(valid.data() + static_cast<size_t>(row) * width, width,
                                      max_search_radius);
    }
    return work;
}

std::vector<int> BalancedTops(const std::vector<double>& work, int count, int above, int below,
                              int most_rows) {
    std::vector<double> sums(work.size() + 1, 0.0);
    for (size_t row = 0; row < work.size(); ++row) sums[row + 1] = sums[row] + work[row];
    // The least cost of the costliest window, found by halving: a cost is within reach when the
    // greedy cut meets it with `count` strips or fewer, and the whole band's cost is, when strips
    // of `most_rows` rows reach the bottom.
    double low = 0, high = sums.back();
    std::vector<int> best;
    for (int step = 0; step < 48; ++step) {
        const double middle = (low + high) / 2;
        std::vector<int> tops = GreedyTops(sums, middle, count, above, below, most_rows);
        if (!tops.empty()) {
            best = std::move(tops);
            high = middle;
        } else {
            low = middle;
        }
    }
    return best.empty() ? GreedyTops(sums, high, count, above, below, most_rows) : best;
}
