#include "engine/passes/bins.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "diag/format.h"

namespace velkan::passes {

namespace {

// Marks an empty slot of the exact set: a NaN pattern, which no finite value has.
constexpr std::uint64_t kEmptySlot = ~std::uint64_t{0};
// Grid cells per bin of a coder (at most kMaxGridCells): enough that a cell rarely holds
// more than one edge when the bins are quantiles of roughly smooth data.
constexpr std::size_t kGridCellsPerBin = 16;
constexpr std::size_t kMaxGridCells = std::size_t{1} << 16;
// Within a cell holding more edges than this, a binary search replaces the linear scan.
constexpr std::uint32_t kLinearScanEdges = 8;

}  // namespace

Status ColumnBins::check() const {
  if (values.size() == 0 || values.size() > (std::size_t{1} << 16) ||
      edges.size() + 1 != values.size()) {
    return fail(GamError::invalid_parameter(diag::format(
        "bins: {} values and {} edges (need 1 to 65536 values and one edge fewer)",
        values.size(), edges.size())));
  }
  for (std::size_t j = 0; j < edges.size(); ++j) {
    if (!std::isfinite(edges[j]) || (j > 0 && !(edges[j] > edges[j - 1]))) {
      return fail(GamError::invalid_parameter("bins: edges must be finite and strictly increasing"));
    }
  }
  return {};
}

// ----------------------------------------------------------------------------- sketch
ColumnSketch::ColumnSketch(std::size_t max_bins)
    : max_bins_(max_bins),
      min_(std::numeric_limits<double>::infinity()),
      max_(-std::numeric_limits<double>::infinity()),
      slots_(std::bit_ceil(4 * (max_bins + 1)), kEmptySlot) {}

void ColumnSketch::insert_exact(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x + 0.0);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = value_hash(x) & mask;; s = (s + 1) & mask) {
    if (slots_[s] == bits) return;
    if (slots_[s] == kEmptySlot) {
      slots_[s] = bits;
      if (++used_ > max_bins_) leave_exact();
      return;
    }
  }
}

// More distinct values than bins: from now on the column is sampled; the values seen so
// far are the sample's first candidates.
void ColumnSketch::leave_exact() {
  const std::vector<double> seen = exact_values();
  exact_ = false;
  slots_.clear();
  slots_.shrink_to_fit();
  used_ = 0;
  for (double v : seen) offer(value_hash(v), v);
  compact();
}

void ColumnSketch::offer(std::uint64_t hash, double x) {
  if (hash >= threshold_) return;
  sample_.emplace_back(hash, x + 0.0);
  if (sample_.size() >= 2 * kBinSampleSize) compact();
}

// Keeps the kBinSampleSize smallest distinct hashes; once that many are kept, only values
// hashing below the largest of them can enter.
void ColumnSketch::compact() {
  std::sort(sample_.begin(), sample_.end());
  sample_.erase(std::unique(sample_.begin(), sample_.end(),
                            [](const auto& a, const auto& b) { return a.first == b.first; }),
                sample_.end());
  if (sample_.size() >= kBinSampleSize) {
    sample_.resize(kBinSampleSize);
    threshold_ = sample_.back().first;
  }
}

std::size_t ColumnSketch::update(VectorView x) {
  double lo = min_, hi = max_;
  std::size_t i = 0;
  for (; i < x.size && exact_; ++i) {
    const double v = x[i];
    if (!std::isfinite(v)) break;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
    insert_exact(v);
  }
  // Sampling: most values hash above the threshold once the sample is full, and cost a
  // hash and a comparison.
  for (; i < x.size; ++i) {
    const double v = x[i];
    if (!std::isfinite(v)) break;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
    const std::uint64_t h = value_hash(v);
    if (h < threshold_) offer(h, v);
  }
  min_ = lo;
  max_ = hi;
  return i;
}

void ColumnSketch::merge(const ColumnSketch& other) {
  min_ = std::min(min_, other.min_);
  max_ = std::max(max_, other.max_);
  if (other.exact_) {
    for (double v : other.exact_values()) {
      if (exact_) {
        insert_exact(v);
      } else {
        offer(value_hash(v), v);
      }
    }
  } else {
    if (exact_) leave_exact();
    for (const auto& [h, v] : other.sample_) offer(h, v);
  }
}

std::vector<double> ColumnSketch::exact_values() const {
  std::vector<double> out;
  out.reserve(used_);
  for (std::uint64_t s : slots_) {
    if (s != kEmptySlot) out.push_back(std::bit_cast<double>(s));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The sample, sorted, with the exact extremes. The candidates are compacted on a copy:
// compacting after every update would sort the whole sample once per chunk.
std::vector<double> ColumnSketch::sample_values() const {
  ColumnSketch copy = *this;
  copy.compact();
  std::vector<double> out;
  out.reserve(copy.sample_.size() + 2);
  for (const auto& [h, v] : copy.sample_) out.push_back(v);
  out.push_back(min_);
  out.push_back(max_);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

Result<ColumnBins> ColumnSketch::bins() const {
  if (!(min_ <= max_)) return fail(GamError::invalid_parameter("bins of a column without values"));
  ColumnBins out;
  if (exact_) {
    const std::vector<double> v = exact_values();
    out.values = Vector(v);
    out.edges = Vector(std::vector<double>(v.begin() + 1, v.end()));
    out.exact = true;
    return out;
  }
  // Bin j holds the sorted distinct values s[start_j .. start_{j+1}), start_j the rounded
  // j * s / m; it stands for the midpoint of its first and last.
  const std::vector<double> s = sample_values();
  const std::size_t m = std::min(max_bins_, s.size());
  std::vector<std::size_t> start;
  for (std::size_t j = 0; j < m; ++j) {
    const std::size_t at = (2 * j * s.size() + m) / (2 * m);
    if (start.empty() || at > start.back()) start.push_back(at);
  }
  start.push_back(s.size());
  std::vector<double> edges, values;
  for (std::size_t j = 0; j + 1 < start.size(); ++j) {
    if (j > 0) edges.push_back(s[start[j]]);
    const double lo = s[start[j]], hi = s[start[j + 1] - 1];
    values.push_back(lo + 0.5 * (hi - lo));
  }
  out.edges = Vector(std::move(edges));
  out.values = Vector(std::move(values));
  return out;
}

ColumnSketch::State ColumnSketch::state() const {
  State s{min_, max_, max_bins_, exact_, exact_ ? exact_values() : std::vector<double>{}};
  if (!exact_) {
    ColumnSketch copy = *this;
    copy.compact();
    for (const auto& [h, v] : copy.sample_) s.values.push_back(v);
  }
  return s;
}

Result<ColumnSketch> ColumnSketch::from_state(const State& s) {
  if (s.max_bins < 2 || s.max_bins > kMaxColumnBins ||
      s.values.size() > (s.exact ? s.max_bins : kBinSampleSize) ||
      std::any_of(s.values.begin(), s.values.end(), [](double v) { return !std::isfinite(v); }) ||
      (!s.values.empty() && !(s.min <= s.max))) {
    return fail(GamError::invalid_parameter("malformed column sketch"));
  }
  ColumnSketch out(s.max_bins);
  if (s.exact) {
    for (double v : s.values) out.insert_exact(v);
  } else {
    out.leave_exact();
    for (double v : s.values) out.offer(value_hash(v), v);
    out.compact();
  }
  out.min_ = s.min;
  out.max_ = s.max;
  return out;
}

// ----------------------------------------------------------------------------- coder
BinCoder::BinCoder(const ColumnBins& bins) : edges_(bins.edges.begin(), bins.edges.end()) {
  if (edges_.empty()) {
    first_ = {0, 0};
    edges_.push_back(std::numeric_limits<double>::infinity());
    return;
  }
  const std::size_t cells =
      std::min(kMaxGridCells, kGridCellsPerBin * (edges_.size() + 1));
  origin_ = edges_.front();
  const double span = edges_.back() - edges_.front();
  scale_ = span > 0.0 ? static_cast<double>(cells) / span : 0.0;
  // cell() is monotone in x, so an edge in a cell before x's is <= x and one in a cell
  // after it is > x: only the edges of x's own cell need comparing.
  first_.assign(cells + 1, 0);
  first_[0] = 0;
  std::size_t j = 0;
  for (std::size_t c = 0; c < cells; ++c) {
    while (j < edges_.size() && cell(edges_[j]) <= c) ++j;
    first_[c + 1] = static_cast<std::uint32_t>(j);
  }
  // A sentinel past the last edge, so that a cell's first edge can always be read.
  edges_.push_back(std::numeric_limits<double>::infinity());
}

std::size_t BinCoder::cell(double x) const {
  const double t = (x - origin_) * scale_;
  const std::size_t last = first_.size() - 2;
  if (!(t > 0.0)) return 0;
  if (t >= static_cast<double>(last)) return last;
  return static_cast<std::size_t>(t);
}

template <class Code>
std::size_t BinCoder::code(VectorView x, Code* out) const {
  const double* e = edges_.data();
  for (std::size_t i = 0; i < x.size; ++i) {
    const double v = x[i];
    if (!std::isfinite(v)) return i;
    const std::size_t c = cell(v);
    std::uint32_t lo = first_[c];
    const std::uint32_t hi = first_[c + 1];
    if (hi - lo <= 1) {
      // At most one edge in the cell (the usual case): no branch on the data.
      lo += static_cast<std::uint32_t>(lo < hi) & static_cast<std::uint32_t>(e[lo] <= v);
    } else if (hi - lo > kLinearScanEdges) {
      lo = static_cast<std::uint32_t>(std::upper_bound(e + lo, e + hi, v) - e);
    } else {
      while (lo < hi && e[lo] <= v) ++lo;
    }
    out[i] = static_cast<Code>(lo);
  }
  return x.size;
}

template std::size_t BinCoder::code<std::uint8_t>(VectorView, std::uint8_t*) const;
template std::size_t BinCoder::code<std::uint16_t>(VectorView, std::uint16_t*) const;

}  // namespace velkan::passes
