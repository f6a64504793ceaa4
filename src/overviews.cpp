#include "overviews.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <cpl_conv.h>
#include <gdal_priv.h>

#include "error_watch.h"
#include "fill.h"
#include "overview_levels.h"
#include "overview_method.h"
#include "row_stream.h"

using namespace overview;

namespace {

// The rows of a level that hold a tile for which `marked` holds, in order.
template <typename Marked>
std::vector<int> RowsWith(const Level& level, const Marked& marked) {
    std::vector<int> rows;
    for (int row = 0; row < level.down; ++row) {
        for (int tile = row * level.across; tile < (row + 1) * level.across; ++tile) {
            if (!marked(tile)) continue;
            rows.push_back(row);
            break;
        }
    }
    return rows;
}

// The tiles of one row of level k that the fill may have reached, as `c` computes them.
CPLErr ComputeRow(const Pyramid& p, size_t k, int row, const Candidate& c,
                  std::vector<Tiles>& computed, std::mutex& io) {
    std::vector<GByte> pixels;
    if (Compute(p, k, RowWindow(p.levels[k], row), c, computed, io, pixels) != CE_None)
        return CE_Failure;
    Tiles tiles = SplitRow(p, k, row, p.levels[k].dirty, pixels);
    const std::lock_guard<std::mutex> hold(io);
    computed[k].merge(tiles);
    return CE_None;
}

// The rows of level k that hold a tile the fill may have reached and that is not computed yet,
// on every core: each thread takes the next row. Their errors stay quiet there; the first is
// raised again here.
CPLErr ComputeLevel(const Pyramid& p, size_t k, const Candidate& c, std::vector<Tiles>& computed) {
    const std::vector<int> rows = RowsWith(
        p.levels[k], [&](int tile) { return p.levels[k].dirty[tile] && !computed[k].count(tile); });
    std::mutex io;
    std::atomic<size_t> next{0};
    FirstFailure failure("computing the overviews of band 1 failed");
    const auto work = [&] {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        for (size_t i = next++; i < rows.size() && !failure.failed(); i = next++) {
            try {
                if (ComputeRow(p, k, rows[i], c, computed, io) != CE_None) failure.Note();
            } catch (const std::bad_alloc&) {
                CPLError(CE_Failure, CPLE_OutOfMemory, "out of memory for a row of overviews");
                failure.Note();
            }
        }
        CPLPopErrorHandler();
    };
    std::vector<std::thread> threads;
    try {
        while (threads.size() + 1 < std::min<size_t>(FillThreads(), rows.size()))
            threads.emplace_back(work);
    } catch (const std::system_error&) {
        // fewer threads than asked for: those there are, and this one, take every row
    }
    work();
    for (std::thread& thread : threads) thread.join();
    return failure.Raise();
}

// Every tile the fill may have reached, level by level, as `c` computes it. `seeds`, when given,
// holds tiles of each level computed already.
CPLErr ComputeAll(const Pyramid& p, const Candidate& c, std::vector<Tiles>& computed,
                  std::vector<Tiles> seeds = {}) {
    computed = std::move(seeds);
    computed.resize(p.levels.size());
    for (size_t k = 1; k < p.levels.size(); ++k)
        if (ComputeLevel(p, k, c, computed) != CE_None) return CE_Failure;
    return CE_None;
}

// Writes the computed tiles that differ from what the file holds.
CPLErr WriteAll(const Pyramid& p, const std::vector<Tiles>& computed) {
    const std::vector<Tiles> none(p.levels.size());
    std::vector<GByte> held;
    for (size_t k = 1; k < p.levels.size(); ++k) {
        for (const auto& [tile, pixels] : computed[k]) {
            const PixelWindow t = TileWindow(p.levels[k], tile);
            held.resize(pixels.size());
            if (ReadLevel(p, k, none[k], t, held.data()) != CE_None) return CE_Failure;
            if (held == pixels) continue;
            auto* data = const_cast<GByte*>(pixels.data());
            if (p.levels[k].band->RasterIO(GF_Write, t.x, t.y, t.width, t.height, data, t.width,
                                           t.height, p.type, 0, 0, nullptr) != CE_None)
                return CE_Failure;
        }
    }
    return CE_None;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

std::string Stale(const Pyramid& p, const std::string& name, const char* guess, const char* why) {
    GDALDataset* dataset = p.levels[0].band->GetDataset();
    VSIStatBufL stat{};
    const bool external =
        dataset && VSIStatL((std::string(dataset->GetDescription()) + ".ovr").c_str(), &stat) == 0;
    std::string command = std::string("gdaladdo ") + (external ? "-ro " : "") + "-r " +
                          Lower(guess) + " " + Quoted(name);
    for (size_t k = 1; k < p.levels.size(); ++k)
        command +=
            " " + std::to_string(int(std::lround(double(p.levels[0].width) / p.levels[k].width)));
    return "the overviews of " + Quoted(name) + " still show the old band 1, as " + why + "; " +
           command + " rebuilds them";
}

}  // namespace

// Where a refresh stands: the levels, the method, and the rows of level 1 computed alongside the
// write-back. `stream` comes last, so that its thread has stopped before the rest goes.
struct OverviewRefresh::State {
    Pyramid p;
    std::string name;
    Warn warn;
    std::vector<Candidate> survivors;
    // Per level, what the stream's thread alone touches until it has stopped: the tiles the
    // write-back may reach, those computed, the rows whose tiles are wanted, in order, how many of
    // them are done, and the computed rows, across the level, that the next level still needs.
    std::vector<std::vector<char>> wanted;
    std::vector<Tiles> streamed;
    std::vector<std::vector<int>> rows;
    std::vector<size_t> done;
    std::vector<std::map<int, std::vector<GByte>>> held;
    std::unique_ptr<RowStream> stream;
};

namespace {

using State = OverviewRefresh::State;

// Row `row` of level k, from `values`, the rows of its source level that it is built from.
CPLErr ComputeStreamedRow(const State& s, size_t k, int row, const GByte* values,
                          std::vector<GByte>& pixels) {
    const Pyramid& p = s.p;
    const Candidate& c = s.survivors[0];
    const PixelWindow t = RowWindow(p.levels[k], row);
    const SourceWindow w = Sources(p, k, t, c);
    GDALDatasetUniquePtr from =
        MemoryBand(p, w.source.width, w.source.height, c.masked, const_cast<GByte*>(values));
    if (!from) return CE_Failure;
    return Resample(p, c, w, t, *from, pixels);
}

// Whether level k is built from a span of the rows of level k - 1: from the level before it
// (not the band), with a factor that divides the height (else GDAL builds it from the whole axis
// at once).
bool BuiltFromSpans(const State& s, size_t k) {
    const Pyramid& p = s.p;
    return (k == 1 || !s.survivors[0].from_base) &&
           p.levels[k - 1].height % p.levels[k].height == 0;
}

// Keeps a computed row of level k, and computes every wanted row of level k + 1 whose source rows
// are now all there, and so on down. A row whose source rows will not all come (some were not
// wanted) is left to the refresh after the write-back.
bool Cascade(State& s, size_t k, int row, std::vector<GByte> pixels) {
    const Pyramid& p = s.p;
    Tiles tiles = SplitRow(p, k, row, s.wanted[k], pixels);
    s.streamed[k].merge(tiles);
    if (k + 1 >= p.levels.size() || !BuiltFromSpans(s, k + 1)) return true;
    auto& held = s.held[k];
    held[row] = std::move(pixels);
    const size_t row_bytes = size_t(p.levels[k].width) * p.pixel_bytes;
    std::vector<GByte> values, below;
    while (s.done[k + 1] < s.rows[k + 1].size()) {
        const int next = s.rows[k + 1][s.done[k + 1]];
        const SourceWindow w = Sources(p, k + 1, RowWindow(p.levels[k + 1], next), s.survivors[0]);
        const int first = w.source.y / kTile, last = (w.source.y + w.source.height - 1) / kTile;
        bool all = true;
        for (int at = first; at <= last; ++at) all = all && held.count(at);
        if (!all && row < last) break;  // more rows of level k are to come
        ++s.done[k + 1];
        if (!all) continue;
        values.resize(row_bytes * w.source.height);
        for (int y = 0; y < w.source.height; ++y) {
            const int line = w.source.y + y;
            std::memcpy(&values[row_bytes * y], &held[line / kTile][row_bytes * (line % kTile)],
                        row_bytes);
        }
        if (ComputeStreamedRow(s, k + 1, next, values.data(), below) != CE_None ||
            !Cascade(s, k + 1, next, std::move(below)))
            return false;
        held.erase(held.begin(), held.lower_bound(first));
    }
    return true;
}

// The levels are computed alongside the write-back where one method alone reproduces the
// overviews, its mask is the band's own, and level 1 is built from spans of the band's rows;
// each next level too, as far as that holds, and as far as the rows it needs were wanted.
void StartStream(State& s, const std::vector<PixelWindow>& may_change) {
    const Pyramid& p = s.p;
    if (s.survivors.size() != 1 || (s.survivors[0].masked && p.per_dataset) ||
        !BuiltFromSpans(s, 1))
        return;
    std::vector<Level> reached = p.levels;
    MarkDirty(reached, may_change);
    const size_t n = p.levels.size();
    s.wanted.resize(n);
    s.streamed.resize(n);
    s.rows.resize(n);
    s.done.assign(n, 0);
    s.held.resize(n);
    for (size_t k = 1; k < n; ++k) {
        s.wanted[k] = reached[k].dirty;
        s.rows[k] = RowsWith(p.levels[k], [&](int tile) { return s.wanted[k][tile] != 0; });
    }
    std::vector<RowStream::Span> spans;
    for (int row : s.rows[1]) {
        const SourceWindow w = Sources(p, 1, RowWindow(p.levels[1], row), s.survivors[0]);
        spans.push_back({w.source.y, w.source.y + w.source.height});
    }
    if (spans.empty()) return;
    int block_width = 0, block_height = 0;
    p.levels[0].band->GetBlockSize(&block_width, &block_height);
    const RowStream::Shape shape{p.levels[0].width, p.levels[0].height, block_width, block_height,
                                 p.pixel_bytes};
    // A row of level 1 from the band's rows that the write-back handed over, on either of the
    // stream's threads; then the rows below it, one row of level 1 at a time, in order.
    s.stream = std::make_unique<RowStream>(
        shape, std::move(spans),
        [&s](size_t i, const GByte* values, std::vector<GByte>& pixels) {
            return ComputeStreamedRow(s, 1, s.rows[1][i], values, pixels) == CE_None;
        },
        [&s](size_t i, std::vector<GByte> pixels) {
            return Cascade(s, 1, s.rows[1][i], std::move(pixels));
        });
}

}  // namespace

OverviewRefresh::OverviewRefresh(GDALRasterBand& band, const std::vector<PixelWindow>& may_change,
                                 std::string name, Warn warn) {
    if (may_change.empty() || band.GetOverviewCount() == 0) return;
    auto state = std::make_unique<State>();
    state->p = PyramidOf(band);
    state->name = std::move(name);
    state->warn = std::move(warn);
    if (state->p.levels.size() < 2) return;
    state->survivors = Survivors(state->p);
    // The samples' blocks of band 1 would outlive the write-back in GDAL's cache, which the
    // write-back's own block writes pass by.
    band.FlushCache();
    StartStream(*state, may_change);
    state_ = std::move(state);
}

OverviewRefresh::~OverviewRefresh() = default;

RowStream* OverviewRefresh::stream() { return state_ ? state_->stream.get() : nullptr; }

CPLErr OverviewRefresh::Finish(const std::vector<PixelWindow>& changed) {
    if (!state_) return CE_None;
    State& s = *state_;
    const bool streamed = s.stream && s.stream->Finish();
    s.stream.reset();
    if (changed.empty()) return CE_None;
    Pyramid& p = s.p;
    MarkDirty(p.levels, changed);
    if (s.survivors.empty()) {
        s.warn(Stale(p, s.name, "average", "no resampling method reproduces them"));
        return CE_None;
    }
    std::vector<Tiles> seeds(p.levels.size());
    for (size_t k = 1; streamed && k < s.streamed.size(); ++k)
        for (auto& [tile, pixels] : s.streamed[k])
            if (p.levels[k].dirty[tile]) seeds[k].emplace(tile, std::move(pixels));
    std::vector<Tiles> first, other;
    if (ComputeAll(p, s.survivors[0], first, std::move(seeds)) != CE_None) return CE_Failure;
    for (size_t i = 1; i < s.survivors.size(); ++i) {
        if (ComputeAll(p, s.survivors[i], other) != CE_None) return CE_Failure;
        if (other != first) {
            s.warn(Stale(p, s.name, s.survivors[0].method->name,
                         "the methods that reproduce them disagree over the filled pixels"));
            return CE_None;
        }
    }
    return WriteAll(p, first);
}
