// Bins of the numeric input columns of a fit on binned covariates, fixed in the first pass.
//
// A column gets at most `max_bins` bins. While it has no more distinct values than that,
// each distinct value is a bin of its own (the binning is exact). Otherwise the bins are
// consecutive runs of its distinct values with about equally many values each (quantiles
// of the distinct values, not of the rows), and each bin stands for the midpoint of the
// smallest and largest value it is known to hold.
//
// The first pass feeds each column to a `ColumnSketch`: the exact minimum and maximum, the
// distinct values while there are at most `max_bins` of them, and from then on a sample of
// sample_size(max_bins) distinct values, those whose 64-bit hashes are smallest (64 per
// bin, from 4,096 to 65,536: a bin's share of the sample, and so of the distinct values,
// then varies by about 1/8 of itself from bin to bin). Hashing makes the
// sample uniform over the distinct values whatever their multiplicities, and a function of
// the set of values alone: sketches of chunks or partitions merge to the sketch of the
// whole column, so the bins do not depend on how the rows were split or ordered.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/gam_error.h"
#include "linalg/matrix.h"

namespace velkan::passes {

// Distinct values a sketch samples per bin once it stops counting them exactly, and the
// least and most it samples.
inline constexpr std::size_t kSamplePerBin = 64;
inline constexpr std::size_t kMinSampleSize = std::size_t{1} << 12;
inline constexpr std::size_t kMaxSampleSize = std::size_t{1} << 16;
// Most bins of one column (its codes then take two bytes).
inline constexpr std::size_t kMaxColumnBins = 4096;
// Most distinct values a sketch that keeps them (ColumnSketch::keeping_values) holds exactly.
inline constexpr std::size_t kMaxExactValues = std::size_t{1} << 20;

// The sample a column's bins are cut from: 64 distinct values per bin, 4,096 to 65,536.
inline constexpr std::size_t bin_sample_size(std::size_t max_bins) {
  return std::clamp(kSamplePerBin * max_bins, kMinSampleSize, kMaxSampleSize);
}
// Codes of a column with more bins than this take two bytes instead of one.
inline constexpr std::size_t kByteCodeBins = 256;

// The bins of one column: code(x) is the number of interior edges <= x, so bin j holds
// [edges[j - 1], edges[j]) and the first and last bins extend to the column's extremes.
struct ColumnBins {
  Vector edges;        // strictly increasing, size() - 1 of them
  Vector values;       // the value each bin stands for
  bool exact = false;  // every training value equals its bin's value

  std::size_t size() const { return values.size(); }
  // Refused (InvalidParameter): no bins, edges not strictly increasing or not finite, a
  // count of edges that is not size() - 1, more than 65536 bins.
  Status check() const;
};

// The 64-bit hash of a value's bits that orders the sample (-0.0 hashes as 0.0): the two
// halves of a full 64 x 64 -> 128-bit product folded together, so that every output bit
// depends on every input bit, at one multiplication.
inline std::uint64_t value_hash(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x + 0.0) ^ 0x9E3779B97F4A7C15ULL;
  __extension__ using Wide = unsigned __int128;
  const Wide p = static_cast<Wide>(bits) * 0xBF58476D1CE4E5B9ULL;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

class ColumnSketch {
 public:
  // max_bins in [2, kMaxColumnBins] (the caller checks).
  explicit ColumnSketch(std::size_t max_bins);
  // A sketch that also keeps the column's distinct values for quantile knots: exactly
  // while there are at most exact_limit of them, then the sample_size of smallest hash.
  // Its bins (max_bins 0: none) are those of ColumnSketch(max_bins) over the same values:
  // that sketch's sample is the bin_sample_size(max_bins) smallest hashes of this one's.
  // The caller checks: exact_limit in [max(2, max_bins), kMaxExactValues], sample_size in
  // [2, kMaxSampleSize] and at least bin_sample_size(max_bins) when max_bins > 0.
  static ColumnSketch keeping_values(std::size_t max_bins, std::size_t exact_limit,
                                     std::size_t sample_size);
  // Whether keeping_values takes these sizes.
  static bool sizes_valid(std::size_t max_bins, std::size_t exact_limit, std::size_t sample_size);

  // Adds finite values, with prior weights w (empty: ones) for the weighted sum; returns
  // the index of the first value that is not finite (nothing from there on is added), or
  // x.size.
  std::size_t update(VectorView x, VectorView w = {});
  // Adds another sketch of the same max_bins (over other rows of the same column).
  void merge(const ColumnSketch& other);
  // The bins of everything added. Refused when nothing was added, or for a sketch without
  // bins.
  Result<ColumnBins> bins() const;
  // The distinct values added, sorted: all of them while exact(), else the sample with the
  // exact extremes.
  std::vector<double> values() const { return exact_ ? exact_values() : sample_values(); }

  std::size_t max_bins() const { return max_bins_; }  // 0 for a sketch without bins
  std::size_t exact_limit() const { return exact_limit_; }
  std::size_t sample_size() const { return sample_size_; }
  double min() const { return min_; }
  double max() const { return max_; }
  double weighted_sum() const { return sum_; }
  bool exact() const { return exact_; }

  // State for pickling: min, max, weighted sum, max_bins, exact, the values held (the
  // distinct values while exact, else the sample), and the exact limit and sample size.
  struct State {
    double min, max, sum;
    std::size_t max_bins;
    bool exact;
    std::vector<double> values;
    std::size_t exact_limit, sample_size;
  };
  State state() const;
  // Refused (InvalidParameter): a state no sketch could have (sizes out of range, values
  // not finite, too many of them).
  static Result<ColumnSketch> from_state(const State& s);

 private:
  ColumnSketch(std::size_t max_bins, std::size_t exact_limit, std::size_t sample_size);
  void grow_exact();
  void insert_exact(double x);
  void leave_exact();
  void offer(std::uint64_t hash, double x);
  void compact();
  std::vector<double> exact_values() const;
  std::vector<double> sample_values(std::size_t size) const;
  std::vector<double> sample_values() const { return sample_values(sample_size_); }

  std::size_t max_bins_;
  std::size_t exact_limit_;  // distinct values kept exactly, at most
  std::size_t sample_size_;
  double min_;
  double max_;
  double sum_ = 0.0;
  bool exact_ = true;
  // Open-addressed set, at most a quarter full: of the distinct values' bit patterns while
  // exact (grown as they come), then of the sample candidates' hashes.
  std::vector<std::uint64_t> slots_;
  std::size_t used_ = 0;
  // Sample candidates (hash, value): the distinct values that hashed below threshold_ when
  // offered; the sample_size() smallest hashes among them are the sample. compact() keeps
  // those.
  std::vector<std::pair<std::uint64_t, double>> sample_;
  std::uint64_t threshold_ = UINT64_MAX;  // values hashing at or above it are not kept
};

// Writes the code of each value of x under `bins` (as one or two bytes: Code is uint8_t
// for at most kByteCodeBins bins, else uint16_t). A uniform grid over the edges' range
// locates each value's candidate edges, so coding costs a few operations a value.
class BinCoder {
 public:
  explicit BinCoder(const ColumnBins& bins);
  // Returns the index of the first value that is not finite (the codes from there on are
  // unspecified), or x.size.
  template <class Code>
  std::size_t code(VectorView x, Code* out) const;

 private:
  // The grid cell of x: monotone in x, clamped to the grid (the coder's loop clamps the
  // same way without branches).
  std::size_t cell(double x) const {
    const double t = (x - origin_) * scale_;
    if (!(t > 0.0)) return 0;
    if (t >= static_cast<double>(last_cell_)) return last_cell_;
    return static_cast<std::size_t>(t);
  }

  // A grid cell: the code of its lowest values, and its edges [code, end) (sorted); with
  // at most one, `edge` is it (or +inf), and a value's code is code + (value >= edge).
  struct Cell {
    double edge;
    std::uint32_t code;
    std::uint32_t end;
  };

  std::vector<double> edges_;
  double origin_ = 0.0;
  double scale_ = 0.0;
  std::size_t last_cell_ = 0;
  std::vector<Cell> cells_;
  bool simple_ = true;  // no cell holds more than one edge
};

}  // namespace velkan::passes
