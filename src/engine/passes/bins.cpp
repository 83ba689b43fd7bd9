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
namespace {

// Puts `key`, whose hash is `hash`, in the first free slot from its own (linear probing;
// the table is never full).
void place(std::vector<std::uint64_t>& slots, std::uint64_t key, std::uint64_t hash) {
  const std::size_t mask = slots.size() - 1;
  std::size_t s = hash & mask;
  while (slots[s] != kEmptySlot) s = (s + 1) & mask;
  slots[s] = key;
}

// Slots of the exact set a sketch starts with: all it needs for a column's bins; a sketch
// of distinct values grows from here.
std::size_t first_slots(std::size_t exact_limit) {
  return std::bit_ceil(4 * (std::min(exact_limit, kMaxColumnBins) + 1));
}

}  // namespace

ColumnSketch::ColumnSketch(std::size_t max_bins, std::size_t exact_limit, std::size_t sample_size)
    : max_bins_(max_bins),
      exact_limit_(exact_limit),
      sample_size_(sample_size),
      min_(std::numeric_limits<double>::infinity()),
      max_(-std::numeric_limits<double>::infinity()),
      slots_(first_slots(exact_limit), kEmptySlot) {}

ColumnSketch::ColumnSketch(std::size_t max_bins)
    : ColumnSketch(max_bins, max_bins, bin_sample_size(max_bins)) {}

bool ColumnSketch::sizes_valid(std::size_t max_bins, std::size_t exact_limit, std::size_t sample_size) {
  if (max_bins != 0 && (max_bins < 2 || max_bins > kMaxColumnBins)) return false;
  return exact_limit >= std::max<std::size_t>(2, max_bins) && exact_limit <= kMaxExactValues &&
         sample_size >= (max_bins == 0 ? 2 : bin_sample_size(max_bins)) && sample_size <= kMaxSampleSize;
}

ColumnSketch ColumnSketch::keeping_values(std::size_t max_bins, std::size_t exact_limit,
                                          std::size_t sample_size) {
  return ColumnSketch(max_bins, exact_limit, sample_size);
}

void ColumnSketch::insert_exact(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x + 0.0);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = value_hash(x) & mask;; s = (s + 1) & mask) {
    if (slots_[s] == bits) return;
    if (slots_[s] == kEmptySlot) {
      slots_[s] = bits;
      if (++used_ > exact_limit_) {
        leave_exact();
      } else if (4 * used_ > slots_.size()) {
        grow_exact();
      }
      return;
    }
  }
}

// Twice the slots for the exact set, its values placed again.
void ColumnSketch::grow_exact() {
  std::vector<std::uint64_t> old(2 * slots_.size(), kEmptySlot);
  old.swap(slots_);
  for (std::uint64_t bits : old) {
    if (bits != kEmptySlot) place(slots_, bits, value_hash(std::bit_cast<double>(bits)));
  }
}

// More distinct values than bins: from now on the column is sampled; the values seen so
// far are the sample's first candidates. The slots now hold the candidates' hashes.
void ColumnSketch::leave_exact() {
  std::vector<std::uint64_t> seen(std::bit_ceil(4 * sample_size()), kEmptySlot);
  seen.swap(slots_);
  exact_ = false;
  used_ = 0;
  for (std::uint64_t bits : seen) {
    if (bits != kEmptySlot) offer(value_hash(std::bit_cast<double>(bits)), std::bit_cast<double>(bits));
  }
  compact();
}

// Each candidate enters once: a value offered again finds its hash in the slots. (No hash
// is kEmptySlot: the threshold starts there and nothing at or above it enters.)
void ColumnSketch::offer(std::uint64_t hash, double x) {
  if (hash >= threshold_) return;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
    if (slots_[s] == hash) return;
    if (slots_[s] == kEmptySlot) {
      slots_[s] = hash;
      break;
    }
  }
  sample_.emplace_back(hash, x + 0.0);
  if (sample_.size() >= 2 * sample_size()) compact();
}

// Keeps the sample_size() smallest hashes (the candidates are distinct: a selection, not a
// sort); once that many are kept, only values hashing below the largest of them can enter.
void ColumnSketch::compact() {
  const std::size_t k = sample_size();
  if (sample_.size() < k) return;
  const auto by_hash = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::nth_element(sample_.begin(), sample_.begin() + static_cast<std::ptrdiff_t>(k - 1),
                   sample_.end(), by_hash);
  sample_.resize(k);
  threshold_ = sample_.back().first;
  std::fill(slots_.begin(), slots_.end(), kEmptySlot);
  for (const auto& [h, v] : sample_) place(slots_, h, h);
}

std::size_t ColumnSketch::update(VectorView x, VectorView w) {
  std::size_t i = 0;
  // While exact, each value probes a hash set that may be tens of megabytes: the slot of a
  // value some places ahead is fetched early, so that several misses overlap.
  constexpr std::size_t kAhead = 16;
  for (; i < x.size && exact_; ++i) {
    const double v = x[i];
    if (i + kAhead < x.size) {
      __builtin_prefetch(slots_.data() + (value_hash(x[i + kAhead]) & (slots_.size() - 1)));
    }
    if (!std::isfinite(v)) return i;
    min_ = std::min(min_, v);
    max_ = std::max(max_, v);
    sum_ += w.size == 0 ? v : w[i] * v;
    insert_exact(v);
  }
  // Sampling, a block at a time: the block's values are checked first, then summarised
  // four at a time with independent accumulators (no chain of dependent additions); most
  // hash above the threshold once the sample is full, at a hash and a comparison each.
  constexpr std::size_t kBlock = 512;
  double lo0 = min_, lo1 = min_, hi0 = max_, hi1 = max_;
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  auto weight = [&](std::size_t j) { return w.size == 0 ? 1.0 : w[j]; };
  // The threshold in a local, reloaded only after a value entered (which may lower it).
  std::uint64_t limit = threshold_;
  auto sample = [&](double v) {
    const std::uint64_t h = value_hash(v);
    if (h < limit) {
      offer(h, v);
      limit = threshold_;
    }
  };
  std::size_t stop = x.size;
  while (i < stop) {
    const std::size_t end = std::min(i + kBlock, stop);
    for (std::size_t j = i; j < end; ++j) {
      if (!std::isfinite(x[j])) {
        stop = j;
        break;
      }
    }
    const std::size_t last = std::min(end, stop);
    for (; i + 4 <= last; i += 4) {
      const double v0 = x[i], v1 = x[i + 1], v2 = x[i + 2], v3 = x[i + 3];
      lo0 = std::min(lo0, std::min(v0, v2));
      lo1 = std::min(lo1, std::min(v1, v3));
      hi0 = std::max(hi0, std::max(v0, v2));
      hi1 = std::max(hi1, std::max(v1, v3));
      s0 += weight(i) * v0;
      s1 += weight(i + 1) * v1;
      s2 += weight(i + 2) * v2;
      s3 += weight(i + 3) * v3;
      sample(v0);
      sample(v1);
      sample(v2);
      sample(v3);
    }
    for (; i < last; ++i) {
      const double v = x[i];
      lo0 = std::min(lo0, v);
      hi0 = std::max(hi0, v);
      s0 += weight(i) * v;
      sample(v);
    }
  }
  min_ = std::min(lo0, lo1);
  max_ = std::max(hi0, hi1);
  sum_ += (s0 + s1) + (s2 + s3);
  return stop;
}

void ColumnSketch::merge(const ColumnSketch& other) {
  min_ = std::min(min_, other.min_);
  max_ = std::max(max_, other.max_);
  sum_ += other.sum_;
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

// The `size` smallest hashes of the distinct values (all of them while exact), sorted,
// with the exact extremes. The candidates are selected on a copy: compacting after every
// update would select among the whole sample once per chunk.
std::vector<double> ColumnSketch::sample_values(std::size_t size) const {
  std::vector<std::pair<std::uint64_t, double>> candidates;
  if (exact_) {
    for (double v : exact_values()) candidates.emplace_back(value_hash(v), v);
  } else {
    candidates = sample_;
  }
  if (candidates.size() > size) {
    const auto by_hash = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(size - 1),
                     candidates.end(), by_hash);
    candidates.resize(size);
  }
  std::vector<double> out;
  out.reserve(candidates.size() + 2);
  for (const auto& [h, v] : candidates) out.push_back(v);
  out.push_back(min_);
  out.push_back(max_);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

Result<ColumnBins> ColumnSketch::bins() const {
  if (max_bins_ == 0) return fail(GamError::invalid_parameter("this column sketch has no bins"));
  if (!(min_ <= max_)) return fail(GamError::invalid_parameter("bins of a column without values"));
  ColumnBins out;
  if (exact_ && used_ <= max_bins_) {
    const std::vector<double> v = exact_values();
    out.values = Vector(v);
    out.edges = Vector(std::vector<double>(v.begin() + 1, v.end()));
    out.exact = true;
    return out;
  }
  // Bin j holds the sorted distinct values s[start_j .. start_{j+1}), start_j the rounded
  // j * s / m; it stands for the midpoint of its first and last.
  const std::vector<double> s = sample_values(bin_sample_size(max_bins_));
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
  State s{min_, max_, sum_, max_bins_, exact_, exact_ ? exact_values() : std::vector<double>{},
          exact_limit_, sample_size_};
  if (!exact_) {
    ColumnSketch copy = *this;
    copy.compact();
    for (const auto& [h, v] : copy.sample_) s.values.push_back(v);
  }
  return s;
}

Result<ColumnSketch> ColumnSketch::from_state(const State& s) {
  const auto malformed = [] { return fail(GamError::invalid_parameter("malformed column sketch")); };
  if (!sizes_valid(s.max_bins, s.exact_limit, s.sample_size)) return malformed();
  ColumnSketch out = keeping_values(s.max_bins, s.exact_limit, s.sample_size);
  if (s.values.size() > (s.exact ? s.exact_limit : s.sample_size) ||
      std::any_of(s.values.begin(), s.values.end(), [](double v) { return !std::isfinite(v); }) ||
      std::isnan(s.sum) || (!s.values.empty() && !(s.min <= s.max))) {
    return malformed();
  }
  if (s.exact) {
    for (double v : s.values) out.insert_exact(v);
  } else {
    out.leave_exact();
    for (double v : s.values) out.offer(value_hash(v), v);
    out.compact();
  }
  out.min_ = s.min;
  out.max_ = s.max;
  out.sum_ = s.sum;
  return out;
}

// ----------------------------------------------------------------------------- coder
BinCoder::BinCoder(const ColumnBins& bins) : edges_(bins.edges.begin(), bins.edges.end()) {
  constexpr double kNone = std::numeric_limits<double>::infinity();
  if (edges_.empty()) {
    cells_ = {{kNone, 0, 0}};
    return;
  }
  const std::size_t cells = std::min(kMaxGridCells, kGridCellsPerBin * (edges_.size() + 1));
  origin_ = edges_.front();
  const double span = edges_.back() - edges_.front();
  scale_ = span > 0.0 ? static_cast<double>(cells) / span : 0.0;
  last_cell_ = cells - 1;
  // cell() is monotone in x, so an edge in a cell before x's is <= x and one in a cell
  // after it is > x: only the edges of x's own cell need comparing.
  cells_.resize(cells);
  std::size_t j = 0;
  for (std::size_t c = 0; c < cells; ++c) {
    const std::size_t begin = j;
    while (j < edges_.size() && cell(edges_[j]) <= c) ++j;
    cells_[c] = {j - begin == 1 ? edges_[begin] : kNone, static_cast<std::uint32_t>(begin),
                 static_cast<std::uint32_t>(j)};
    simple_ = simple_ && j - begin <= 1;
  }
}

template <class Code>
std::size_t BinCoder::code(VectorView x, Code* out) const {
  // The coder's fields in locals: stores through a byte pointer may alias anything, and
  // would otherwise reload them on every value.
  const double* e = edges_.data();
  const Cell* cells = cells_.data();
  const double origin = origin_, scale = scale_;
  const double last = static_cast<double>(last_cell_);
  const bool simple = simple_;
  auto cell = [&](double v) -> const Cell& {
    // Clamped without a branch; NaN lands in cell 0 (max(NaN, 0) is 0).
    return cells[static_cast<std::size_t>(std::min(std::max((v - origin) * scale, 0.0), last))];
  };
  constexpr std::size_t kBlock = 256;
  for (std::size_t i = 0; i < x.size; i += kBlock) {
    const std::size_t end = std::min(x.size, i + kBlock);
    // Without a branch per value: one comparison with the cell's edge, and a non-finite
    // value (coded as some cell) caught by the block's check after.
    double z0 = 0.0, z1 = 0.0;
    std::size_t j = i;
    for (; j + 2 <= end; j += 2) {
      const double v0 = x[j], v1 = x[j + 1];
      z0 += v0 * 0.0;
      z1 += v1 * 0.0;
      const Cell& k0 = cell(v0);
      const Cell& k1 = cell(v1);
      out[j] = static_cast<Code>(k0.code + static_cast<std::uint32_t>(v0 >= k0.edge));
      out[j + 1] = static_cast<Code>(k1.code + static_cast<std::uint32_t>(v1 >= k1.edge));
    }
    for (; j < end; ++j) {
      const Cell& k = cell(x[j]);
      z0 += x[j] * 0.0;
      out[j] = static_cast<Code>(k.code + static_cast<std::uint32_t>(x[j] >= k.edge));
    }
    if (!std::isfinite(z0 + z1)) {
      for (j = i; j < end; ++j)
        if (!std::isfinite(x[j])) return j;
    }
    if (simple) continue;
    // Cells with several edges (rare): a search among them.
    for (j = i; j < end; ++j) {
      const Cell& k = cell(x[j]);
      if (k.end > k.code + 1) out[j] = static_cast<Code>(std::upper_bound(e + k.code, e + k.end, x[j]) - e);
    }
  }
  return x.size;
}

template std::size_t BinCoder::code<std::uint8_t>(VectorView, std::uint8_t*) const;
template std::size_t BinCoder::code<std::uint16_t>(VectorView, std::uint16_t*) const;

}  // namespace velkan::passes
