#include "engine/passes/code_tuples.h"

#include <algorithm>
#include <cmath>

#include "diag/format.h"
#include "engine/passes/accumulate.h"
#include "engine/passes/row_blocks.h"

namespace velkan::passes {

namespace {

// Rows each call of for_each_block hands the parts (every part reads all of them), and the
// rows whose cells one part finds at a time.
constexpr std::size_t kRoundRows = std::size_t{1} << 18;
constexpr std::size_t kCellBlock = 2048;
constexpr std::size_t kAhead = 16;
// The parts' spare cells lie this many cells (128 bytes) apart: every part writes its own
// all the time, and two in one cache line would pass it between the cores on every row.
constexpr std::size_t kSpareStride = 4;

constexpr std::size_t kWeight = 0, kSum = 1, kSquare = 2, kRows = 3;

}  // namespace

// One thread's share: the cells [lo, hi) (every row is read; rows of other cells go to the
// part's spare cell, which keeps the loop free of branches), and the response sums of a
// contiguous share of the rows.
struct CodeTuples::Part {
  std::size_t lo = 0, hi = 0, spare = 0;
  std::vector<std::uint32_t> cell;
  std::vector<double> y, pw;
  families::ResponseSums response;
  double edge_responses = 0.0;
};

CodeTuples::~CodeTuples() = default;
CodeTuples::CodeTuples(CodeTuples&&) noexcept = default;
CodeTuples& CodeTuples::operator=(CodeTuples&&) noexcept = default;

std::size_t CodeTuples::cells(const BinnedLayout& layout) {
  std::size_t cells = 1;
  for (std::size_t c = 0; c < layout.layout().input_columns(); ++c) {
    if (layout.reads_raw(c)) return 0;
    if (layout.reads_codes(c)) cells = std::min(cells * layout.bins(c).size(), kMaxTupleCells + 1);
  }
  return cells;
}

Result<CodeTuples> CodeTuples::create(std::shared_ptr<const BinnedLayout> layout,
                                      const families::ResponseModel& model, double start_level,
                                      std::size_t threads) {
  const std::size_t cells = CodeTuples::cells(*layout);
  if (cells == 0 || cells > kMaxTupleCells) {
    return fail(GamError::invalid_parameter(diag::format(
        "rows can be gathered by their codes only without raw columns and in at most {} cells",
        kMaxTupleCells)));
  }
  CodeTuples out;
  out.model_ = model;
  out.reference_ = model.link().inverse(start_level);
  if (!std::isfinite(out.reference_)) {
    return fail(GamError::invalid_parameter(
        diag::format("start level {} gives no valid mean of the family", start_level)));
  }
  for (std::size_t c = 0; c < layout->layout().input_columns(); ++c) {
    if (!layout->reads_codes(c)) continue;
    out.columns_.push_back(c);
    out.radix_.push_back(layout->bins(c).size());
  }
  out.cell_count_ = cells;
  const std::size_t parts = std::max<std::size_t>(threads, 1);
  out.cells_.assign((cells + parts * kSpareStride) * kCellSize, 0.0);
  const std::size_t span = (cells + parts - 1) / parts;
  for (std::size_t p = 0; p < parts; ++p) {
    auto part = std::make_unique<Part>();
    part->lo = std::min(cells, p * span);
    part->hi = std::min(cells, part->lo + span);
    part->spare = cells + p * kSpareStride;
    part->cell.resize(kCellBlock);
    part->y.resize(kPassBlockRows);
    part->pw.resize(kPassBlockRows);
    out.parts_.push_back(std::move(part));
  }
  out.layout_ = std::move(layout);
  return out;
}

Status CodeTuples::add(const BinnedRows& rows) {
  if (finished_) return fail(GamError::invalid_parameter("the groups are formed: no more rows"));
  const std::size_t n = rows.rows();
  if (rows.offset.size != 0) {
    return fail(GamError::invalid_parameter("rows with an offset cannot be gathered by their codes"));
  }
  if (rows.weights.size != 0 && rows.weights.size != n) {
    return fail(GamError::dimension_mismatch("weights must have one entry per row"));
  }
  for (std::size_t c : columns_) {
    if (c >= rows.codes.size() || rows.codes[c].size != n || (n > 0 && rows.codes[c].data == nullptr)) {
      return fail(GamError::dimension_mismatch(
          diag::format("the codes of input column {} must cover the {} rows", c, n)));
    }
  }
  const std::size_t bad = model_.first_outside_support(rows.response);
  if (bad < n) {
    return fail(GamError::invalid_parameter(diag::format(
        "response {} at row {} is outside the support of the {} family ({})", rows.response[bad],
        rows.first_row + bad, model_.info().name, model_.info().support)));
  }
  for (std::size_t first = 0; first < n; first += kRoundRows) {
    const std::size_t count = std::min(kRoundRows, n - first);
    auto ok = for_each_block(parts_.size(), 1, parts_.size(),
                             [&](std::size_t part, std::size_t, std::size_t) {
                               return add_part(*parts_[part], part, rows, first, count);
                             });
    if (!ok) return ok;
  }
  return {};
}

// Part `index`'s cells of rows [first, first + count), and its share of their row sums.
Status CodeTuples::add_part(Part& part, std::size_t index, const BinnedRows& rows,
                            std::size_t first, std::size_t count) {
  const std::size_t parts = parts_.size();
  const std::size_t share = count * index / parts;
  add_row_sums(part, rows, first + share, count * (index + 1) / parts - share);
  const double c = reference_;
  double* cells = cells_.data();
  for (std::size_t b = 0; b < count; b += kCellBlock) {
    const std::size_t m = std::min(kCellBlock, count - b), at = first + b;
    std::uint32_t* cell = part.cell.data();
    if (auto ok = combine_codes(rows, columns_, radix_, at, m, cell); !ok) return ok;
    // The part's slot of each row, then the additions, each fetching the slot kAhead rows
    // on (cells are scattered over up to 512 MB: the misses then overlap).
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t u = cell[i];
      cell[i] = (u >= part.lo && u < part.hi) ? u : static_cast<std::uint32_t>(part.spare);
    }
    for (std::size_t i = 0; i < m; ++i) {
      if (i + kAhead < m) __builtin_prefetch(cells + std::size_t{cell[i + kAhead]} * kCellSize, 1, 0);
      const std::size_t slot = cell[i];
      const double w = rows.weights.size == 0 ? 1.0 : rows.weights[at + i];
      const double y = rows.response[at + i];
      const bool used = w > 0.0;
      double* x = cells + slot * kCellSize;
      x[kWeight] += used ? w : 0.0;
      x[kSum] += used ? w * y : 0.0;
      x[kSquare] += used ? w * (y - c) * (y - c) : 0.0;
      x[kRows] += used ? 1.0 : 0.0;
    }
  }
  return {};
}

// Adds the response sums of rows [first, first + count) to the part's: those of a first
// pass at the centre c (e = y - c), the family's own and the edge responses.
void CodeTuples::add_row_sums(Part& part, const BinnedRows& rows, std::size_t first,
                              std::size_t count) const {
  const auto& family = model_.family();
  const bool edges = !model_.info().exact_fit_warning.empty();
  const double c = reference_;
  families::ResponseSums& s = part.response;
  for (std::size_t b = 0; b < count; b += kPassBlockRows) {
    const std::size_t m = std::min(kPassBlockRows, count - b);
    double response = 0.0, residual = 0.0, square = 0.0, weight = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      const double y = rows.response[first + b + i];
      const double w = rows.weights.size == 0 ? 1.0 : rows.weights[first + b + i];
      part.y[i] = y;
      part.pw[i] = w;
      response += w * y;
      residual += w * (y - c);
      square += w * (y - c) * (y - c);
      weight += w;
    }
    s.response_sum += response;
    s.residual_sum += residual;
    s.residual_square_sum += square;
    s.weight_sum += weight;
    family.add_response_sums(model_.parameters(), part.y.data(), part.pw.data(), m, s);
    for (std::size_t i = 0; edges && i < m; ++i)
      if (part.pw[i] > 0.0 && family.on_edge(part.y[i])) part.edge_responses += 1.0;
  }
}

Status CodeTuples::finish() {
  if (finished_) return {};
  // Keep the occupied cells, in cell order, as (W, ybar, Q, rows), and their codes: the
  // cell's index in mixed radix, counted up digit by digit alongside.
  std::vector<std::size_t> digit(columns_.size(), 0);
  std::vector<bool> wide(columns_.size());
  for (std::size_t k = 0; k < columns_.size(); ++k) wide[k] = radix_[k] > kByteCodeBins;
  std::size_t occupied = 0;
  for (std::size_t u = 0; u < cell_count_; ++u) occupied += cells_[u * kCellSize + kRows] > 0.0;
  codes_.assign(columns_.size(), {});
  for (std::size_t k = 0; k < columns_.size(); ++k) codes_[k].resize(occupied * (wide[k] ? 2 : 1));
  std::size_t j = 0;
  for (std::size_t u = 0; u < cell_count_; ++u) {
    const double* x = cells_.data() + u * kCellSize;
    if (x[kRows] > 0.0) {
      const double weight = x[kWeight], rows = x[kRows], mean = x[kSum] / weight;
      const double spread = std::max(0.0, x[kSquare] - weight * (mean - reference_) * (mean - reference_));
      double* to = cells_.data() + j * kCellSize;
      to[kWeight] = weight;
      to[kSum] = mean;
      to[kSquare] = spread;
      to[kRows] = rows;
      for (std::size_t k = 0; k < columns_.size(); ++k) {
        if (wide[k]) {
          reinterpret_cast<std::uint16_t*>(codes_[k].data())[j] = static_cast<std::uint16_t>(digit[k]);
        } else {
          codes_[k][j] = static_cast<std::uint8_t>(digit[k]);
        }
      }
      ++j;
    }
    for (std::size_t k = columns_.size(); k-- > 0;) {
      if (++digit[k] < radix_[k]) break;
      digit[k] = 0;
    }
  }
  size_ = occupied;
  cells_.resize(size_ * kCellSize);
  // A copy to a smaller vector briefly holds both: worth it only when most cells are empty.
  if (size_ <= cell_count_ / 4) cells_.shrink_to_fit();
  for (const auto& p : parts_) {
    totals_.response.add(p->response);
    totals_.edge_responses += p->edge_responses;
  }
  totals_.deviance_within = deviance_within();
  code_views_.assign(layout_->layout().input_columns(), CodeView{});
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    code_views_[columns_[k]] = CodeView{codes_[k].data(), size_, wide[k]};
  }
  no_columns_.assign(layout_->layout().input_columns(), VectorView{});
  finished_ = true;
  return {};
}

// The deviance of the rows about their groups' means: that about the mean of them all (the
// family's null deviance of their response sums) less W d(ybar, mean) over the groups.
double CodeTuples::deviance_within() const {
  const auto& r = totals_.response;
  if (!(r.weight_sum > 0.0)) return 0.0;
  const double all = model_.family().null_deviance(model_.parameters(), r);
  const double mean = r.response_sum / r.weight_sum;
  double between = 0.0;
  for (std::size_t j = 0; j < size_; ++j) {
    const double* x = cells_.data() + j * kCellSize;
    between += x[kWeight] * model_.family().unit_deviance(x[kSum], mean, model_.parameters());
  }
  return std::max(0.0, all - between);
}

BinnedRows CodeTuples::rows() const {
  const double* x = cells_.data();
  const auto stride = static_cast<std::ptrdiff_t>(kCellSize);
  BinnedRows out{code_views_, no_columns_, {x + kSum, size_, stride}, {x + kWeight, size_, stride},
                 {}, 0};
  out.count = {x + kRows, size_, stride};
  out.spread = {x + kSquare, size_, stride};
  out.groups = &totals_;
  return out;
}

}  // namespace velkan::passes
