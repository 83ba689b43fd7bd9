#include "engine/passes/binned.h"

#include <algorithm>
#include <cmath>

#include "common/interrupt.h"
#include "diag/format.h"
#include "engine/passes/response_start.h"
#include "engine/passes/row_blocks.h"
#include "linalg/lapack.h"

namespace velkan::passes {

namespace {

using lapack::lapack_int;

// The Kronecker product of the margins' tables at every code (first margin outermost, as
// a tensor product's design row): row ((c0 * M1 + c1) * M2 + c2 ...) is
// kron(m0.row(c0), m1.row(c1), ...).
Matrix kron_table(const std::vector<Matrix>& margins) {
  Matrix acc(1, 1, 1.0);
  for (const Matrix& m : margins) {
    Matrix next(acc.rows() * m.rows(), acc.cols() * m.cols());
    for (std::size_t a = 0; a < acc.rows(); ++a)
      for (std::size_t u = 0; u < m.rows(); ++u) {
        double* out = next.row_ptr(a * m.rows() + u);
        for (std::size_t i = 0; i < acc.cols(); ++i)
          for (std::size_t j = 0; j < m.cols(); ++j) out[i * m.cols() + j] = acc(a, i) * m(u, j);
      }
    acc = std::move(next);
  }
  return acc;
}

// One row of a tensor product from its margins' rows at the given codes, into out.
void kron_row(const std::vector<Matrix>& margins, const std::uint32_t* codes, double* out,
              std::vector<double>& a, std::vector<double>& b) {
  std::size_t len = 1;
  a.assign(1, 1.0);
  for (std::size_t m = 0; m < margins.size(); ++m) {
    const double* row = margins[m].row_ptr(codes[m]);
    const std::size_t w = margins[m].cols();
    b.resize(len * w);
    for (std::size_t i = 0; i < len; ++i)
      for (std::size_t j = 0; j < w; ++j) b[i * w + j] = a[i] * row[j];
    len *= w;
    std::swap(a, b);
  }
  std::copy(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(len), out);
}

// out += sum_u d[u] ra.row(u)' rb.row(u): the cross products of two tables whose rows go
// together (a term with itself, or two terms on the same codes) under per-code weights.
// Tables of many codes and wide rows (a two-column thin plate: 65,536 x 100) make this
// the largest product of a pass's assembly: a matrix product, a block of codes at a time
// (ra's rows scaled by d into a buffer). Row-major tables are column-major transposes, so
// out' += rb' (D ra) is a product of the tables as stored.
void add_weighted_gram(const Matrix& ra, const Matrix& rb, const double* d, Matrix& out) {
  constexpr std::size_t kBlock = 1024;
  const std::size_t wa = ra.cols(), wb = rb.cols();
  if (wa == 0 || wb == 0) return;
  std::vector<double> scaled(std::min(kBlock, ra.rows()) * wa);
  const auto mi = static_cast<lapack_int>(wb), ni = static_cast<lapack_int>(wa);
  const double one = 1.0;
  const char no = 'N', trans = 'T';
  for (std::size_t first = 0; first < ra.rows(); first += kBlock) {
    const std::size_t count = std::min(kBlock, ra.rows() - first);
    for (std::size_t u = 0; u < count; ++u) {
      const double* x = ra.row_ptr(first + u);
      double* o = scaled.data() + u * wa;
      for (std::size_t i = 0; i < wa; ++i) o[i] = d[first + u] * x[i];
    }
    const auto ki = static_cast<lapack_int>(count);
    lapack::scipy_dgemm_(&no, &trans, &mi, &ni, &ki, &one, rb.row_ptr(first), &mi, scaled.data(),
                         &ni, &one, out.data(), &mi, 1, 1);
  }
}

// ra' K rb for K (ra.rows() x rb.rows(), row-major): K rb first, then ra' times it.
Matrix cross_product(const Matrix& ra, const double* k, const Matrix& rb) {
  Matrix krb(ra.rows(), rb.cols());
  for (std::size_t u = 0; u < ra.rows(); ++u) {
    const double* krow = k + u * rb.rows();
    double* o = krb.row_ptr(u);
    for (std::size_t v = 0; v < rb.rows(); ++v) {
      if (krow[v] == 0.0) continue;
      const double* r = rb.row_ptr(v);
      for (std::size_t j = 0; j < rb.cols(); ++j) o[j] += krow[v] * r[j];
    }
  }
  Matrix out(ra.cols(), rb.cols());
  add_weighted_gram(ra, krb, std::vector<double>(ra.rows(), 1.0).data(), out);
  return out;
}

// r' v for per-code sums v (r.rows() entries).
std::vector<double> table_sums(const Matrix& r, const double* v) {
  std::vector<double> out(r.cols(), 0.0);
  for (std::size_t u = 0; u < r.rows(); ++u) {
    if (v[u] == 0.0) continue;
    const double* x = r.row_ptr(u);
    for (std::size_t j = 0; j < r.cols(); ++j) out[j] += v[u] * x[j];
  }
  return out;
}

// acc.row(by[i]) += w[i] r.row(of[i]) over each row's band (kBand entries, or `band_width`
// when kBand is 0): the group sums of a pair. Cubic B-spline rows have bands of four,
// worth a loop the compiler unrolls.
template <std::size_t kBand>
void add_group_rows(double* acc, const std::uint32_t* by, const std::uint32_t* of, const double* r,
                    const std::uint32_t* band, std::size_t width, const double* w,
                    std::size_t count, std::size_t band_width = kBand) {
  const std::size_t b = kBand > 0 ? kBand : band_width;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t start = band[of[i]];
    double* g = acc + by[i] * width + start;
    const double* x = r + of[i] * width + start;
    const double wi = w[i];
    for (std::size_t j = 0; j < b; ++j) g[j] += wi * x[j];
  }
}

// A term's code sums (w, w t, prior weight per code, side by side): w t always; w only
// where no cross-tabulation gives the term's counts, prior weights only where the pass
// sums columns.
template <bool kWeight, bool kPrior>
void add_code_sums(double* d, const std::uint32_t* code, const double* w, const double* wt,
                   const double* pw, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    double* at = d + 3 * std::size_t{code[i]};
    if constexpr (kWeight) at[0] += w[i];
    at[1] += wt[i];
    if constexpr (kPrior) at[2] += pw[i];
  }
}

// Writes block (rows at r0, columns at c0) of a symmetric matrix and its mirror image.
void put_block(Matrix& m, std::size_t r0, std::size_t c0, const Matrix& block) {
  for (std::size_t i = 0; i < block.rows(); ++i)
    for (std::size_t j = 0; j < block.cols(); ++j) {
      m(r0 + i, c0 + j) += block(i, j);
      if (r0 + i != c0 + j) m(c0 + j, r0 + i) += block(i, j);
    }
}

// Entry j of every triple of a term's code sums.
std::vector<double> code_column(const std::vector<double>& sums, std::size_t j) {
  std::vector<double> out(sums.size() / 3);
  for (std::size_t u = 0; u < out.size(); ++u) out[u] = sums[3 * u + j];
  return out;
}

void add_into(std::vector<double>& a, const std::vector<double>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
}

}  // namespace

// ----------------------------------------------------------------------------- layout
namespace {

// The rows of a tabulable term at every combination of its columns' bin values (the
// columns' codes in mixed radix, the first outermost): codes x width. Empty when that
// table would be too large to tabulate.
Result<Matrix> joint_table(const terms::TermBasis& term, const std::vector<ColumnBins>& bins,
                           std::size_t input_columns) {
  const auto cols = term.columns();
  std::size_t codes = 1;
  for (std::size_t c : cols) codes = std::min(codes * bins[c].size(), kMaxTermCodes + 1);
  if (codes > kMaxTermCodes || codes * term.width() > kMaxTermTable) return Matrix();
  std::vector<Vector> grid(cols.size(), Vector(codes));
  for (std::size_t u = 0; u < codes; ++u) {
    std::size_t rest = u;
    for (std::size_t m = cols.size(); m-- > 0;) {
      const std::size_t size = bins[cols[m]].size();
      grid[m][u] = bins[cols[m]].values[rest % size];
      rest /= size;
    }
  }
  std::vector<VectorView> views(input_columns);
  for (std::size_t m = 0; m < cols.size(); ++m) views[cols[m]] = grid[m].view();
  // In blocks, answering interrupts between them: a thin-plate table takes a second or so.
  constexpr std::size_t kBlock = 4096;
  Matrix table(codes, term.width());
  for (std::size_t first = 0; first < codes; first += kBlock) {
    if (auto ok = poll_interrupt(); !ok) return fail(ok.error());
    const std::size_t count = std::min(kBlock, codes - first);
    if (auto ok = term.evaluate(views, first, count, table.row_ptr(first), term.width()); !ok) {
      return fail(ok.error());
    }
  }
  return table;
}

}  // namespace

Result<BinnedLayout> BinnedLayout::create(const terms::ModelLayout& layout,
                                          std::vector<ColumnBins> bins) {
  const std::size_t nc = layout.input_columns();
  if (bins.size() != nc) {
    return fail(GamError::dimension_mismatch(
        diag::format("bins for {} input columns; the model reads {}", bins.size(), nc)));
  }
  for (const ColumnBins& b : bins) {
    if (b.size() == 0) continue;
    if (auto ok = b.check(); !ok) return fail(ok.error());
  }
  BinnedLayout out;
  out.layout_ = std::make_shared<const terms::ModelLayout>(layout);
  out.bins_ = std::move(bins);
  out.reads_codes_.assign(nc, false);
  out.reads_raw_.assign(nc, false);
  // Term t looked up by its columns' codes in `table` (codes x width).
  auto add_table = [&](std::size_t t, const auto& cols, Matrix table) {
    Tabulated tab{t, layout.offset(t), table.cols(), table.rows(), {cols.begin(), cols.end()}, {},
                  std::move(table)};
    for (std::size_t c : cols) {
      tab.radix.push_back(out.bins_[c].size());
      out.reads_codes_[c] = true;
    }
    BinnedLayout::set_bands(tab);
    out.tab_.push_back(std::move(tab));
    out.modes_.push_back(BinnedMode::Table);
  };
  for (std::size_t t = 0; t < layout.term_count(); ++t) {
    const terms::TermBasis& term = layout.term(t);
    const auto cols = term.columns();
    const bool all_bins = std::all_of(cols.begin(), cols.end(), [&](std::size_t c) {
      return out.bins_[c].size() > 0;
    });
    if (all_bins && !term.binnable() && term.tabulable()) {
      auto table = joint_table(term, out.bins_, nc);
      if (!table) return fail(table.error());
      if (table->rows() > 0) {
        add_table(t, cols, std::move(*table));
        continue;
      }
    }
    if (!(all_bins && term.binnable())) {
      RowTerm r{t, layout.offset(t), term.width(), out.row_width_, false, {cols.begin(), cols.end()}, {}};
      for (std::size_t c : cols) out.reads_raw_[c] = true;
      out.row_width_ += r.width;
      out.row_terms_.push_back(std::move(r));
      out.modes_.push_back(BinnedMode::Raw);
      continue;
    }
    std::vector<Matrix> margins;
    std::size_t width = 1, codes = 1;
    for (std::size_t m = 0; m < cols.size(); ++m) {
      margins.push_back(term.margin_rows(m, out.bins_[cols[m]].values.view()));
      width *= margins.back().cols();
      codes = std::min(codes * out.bins_[cols[m]].size(), kMaxTermCodes + 1);
      out.reads_codes_[cols[m]] = true;
      if (margins.back().rows() != out.bins_[cols[m]].size()) width = 0;
    }
    if (width != term.width()) {
      return fail(GamError::invalid_parameter(diag::format(
          "term {}: its margin rows do not make its {} design columns", t, term.width())));
    }
    if (codes <= kMaxTermCodes && codes * width <= kMaxTermTable) {
      add_table(t, cols, kron_table(margins));
    } else {
      out.row_terms_.push_back({t, layout.offset(t), width, out.row_width_, true,
                                {cols.begin(), cols.end()}, std::move(margins)});
      out.row_width_ += width;
      out.modes_.push_back(BinnedMode::Codes);
    }
  }
  out.plan_pairs();
  return out;
}

// The start of each table row's non-zero entries within a band of one width for all rows.
void BinnedLayout::set_bands(Tabulated& t) {
  std::vector<std::size_t> lo(t.codes), hi(t.codes);
  t.band_width = 0;
  for (std::size_t u = 0; u < t.codes; ++u) {
    const double* r = t.table.row_ptr(u);
    lo[u] = 0;
    hi[u] = t.width;
    while (lo[u] < hi[u] && r[lo[u]] == 0.0) ++lo[u];
    while (hi[u] > lo[u] && r[hi[u] - 1] == 0.0) --hi[u];
    t.band_width = std::max(t.band_width, hi[u] - lo[u]);
  }
  t.band.resize(t.codes);
  for (std::size_t u = 0; u < t.codes; ++u) {
    t.band[u] = static_cast<std::uint32_t>(std::min(lo[u], t.width - t.band_width));
  }
}

// How each pair of tabulated terms is reduced (see PairKind), and which terms' counts
// come from a cross-tabulation's margins rather than a count of their own.
void BinnedLayout::plan_pairs() {
  // Cells of the cross-tabulations that must be (small or dense-row pairs) come first;
  // narrower pairs take what is left of the budget, in order.
  std::size_t spent = 0;
  auto must_cross = [&](const Tabulated& ta, const Tabulated& tb) {
    const std::size_t cells = ta.codes * tb.codes;
    return cells <= kMaxCrossCells ||
           (cells <= kMaxWideCrossCells && std::min(ta.band_width, tb.band_width) >= kWideBand);
  };
  for (std::size_t a = 0; a < tab_.size(); ++a)
    for (std::size_t b = a + 1; b < tab_.size(); ++b) {
      if (tab_[a].codes > 1 && tab_[b].codes > 1 && must_cross(tab_[a], tab_[b])) {
        spent += tab_[a].codes * tab_[b].codes;
      }
    }
  for (std::size_t a = 0; a < tab_.size(); ++a)
    for (std::size_t b = a + 1; b < tab_.size(); ++b) {
      const Tabulated& ta = tab_[a];
      const Tabulated& tb = tab_[b];
      const std::size_t cells = ta.codes * tb.codes;
      Pair p{a, b, PairKind::Cross, 0};
      if (ta.codes == 1 || tb.codes == 1) {
        p.kind = PairKind::Counts;
      } else if (ta.columns.size() == 1 && tb.columns.size() == 1 && ta.columns[0] == tb.columns[0]) {
        p.kind = PairKind::Diagonal;
      } else if (must_cross(ta, tb)) {
        p.cells = cells;
      } else if (cells <= kMaxWideCrossCells && spent + cells <= kCrossBudget) {
        p.cells = cells;
        spent += cells;
      } else if (tb.band_width < ta.band_width ||
                 (tb.band_width == ta.band_width && ta.codes * tb.width <= tb.codes * ta.width)) {
        p.kind = PairKind::GroupFirst;
        p.cells = ta.codes * tb.width;
      } else {
        p.kind = PairKind::GroupSecond;
        p.cells = tb.codes * ta.width;
      }
      pairs_.push_back(p);
    }
  counts_from_.assign(tab_.size(), -1);
  counts_first_.assign(tab_.size(), false);
  for (std::size_t k = 0; k < pairs_.size(); ++k) {
    const Pair& p = pairs_[k];
    if (p.kind != PairKind::Cross) continue;
    if (counts_from_[p.a] < 0) {
      counts_from_[p.a] = static_cast<std::ptrdiff_t>(k);
      counts_first_[p.a] = true;
    }
    if (counts_from_[p.b] < 0) counts_from_[p.b] = static_cast<std::ptrdiff_t>(k);
  }
}

// ----------------------------------------------------------------------------- pass
Status combine_codes(const BinnedRows& rows, std::span<const std::size_t> columns,
                     std::span<const std::size_t> radix, std::size_t first, std::size_t count,
                     std::uint32_t* out) {
  std::fill(out, out + count, 0u);
  for (std::size_t m = 0; m < columns.size(); ++m) {
    const CodeView v = rows.codes[columns[m]];
    const auto r = static_cast<std::uint32_t>(radix[m]);
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t c = v[first + i];
      largest = std::max(largest, c);
      out[i] = out[i] * r + c;
    }
    if (largest >= r) {
      return fail(GamError::invalid_parameter(
          diag::format("a code of input column {} near row {} is {}; the column has {} bins",
                       columns[m], rows.first_row + first, largest, r)));
    }
  }
  return {};
}

struct BinnedPass::Tables {
  std::vector<std::vector<double>> pair;       // per pair: its cross-tabulation or group sums
  // Per tabulated term, per code, side by side (one cache line for the three): the sums
  // of w, of w t and of the prior weights.
  std::vector<std::vector<double>> code_sums;
  std::vector<std::vector<double>> row_group;  // per tabulated term: codes x q, sum w E
  std::vector<double> row_upper;               // (q + 1)^2: upper triangle of [E t]' W [E t]
  std::vector<double> row_prior;               // q: sum of prior weight times E
  PassSums sums;                               // the scalar and response sums
  double weight_total = 0.0, wt_total = 0.0, prior_total = 0.0;
  // One block's scratch.
  std::vector<std::vector<std::uint32_t>> code;  // per tabulated term
  std::vector<std::uint32_t> margin_codes;
  std::vector<double> y, pw, xb, eta, shift, weight, residual, deviance, pearson, wt, rows;
  std::vector<double> multiplicity;  // groups of rows: the rows each stands for
  std::vector<double> kron_a, kron_b;
  bool used = false;

  void allocate(const BinnedLayout& l, std::size_t block, bool column_sums);
  void add(const Tables& o);
};

void BinnedPass::Tables::allocate(const BinnedLayout& l, std::size_t block, bool column_sums) {
  const std::size_t q = l.row_width_;
  for (const auto& p : l.pairs_) pair.emplace_back(p.cells, 0.0);
  for (std::size_t k = 0; k < l.tab_.size(); ++k) {
    const std::size_t m = l.tab_[k].codes;
    code_sums.emplace_back(m > 1 ? 3 * m : 0, 0.0);
    row_group.emplace_back(q > 0 ? m * q : 0, 0.0);
    code.emplace_back(m > 1 ? block : 0);
  }
  row_upper.assign(q > 0 ? (q + 1) * (q + 1) : 0, 0.0);
  row_prior.assign(column_sums ? q : 0, 0.0);
  for (auto* v : {&y, &pw, &xb, &eta, &shift, &weight, &residual, &deviance, &pearson, &wt,
                  &multiplicity}) {
    v->resize(block);
  }
  rows.resize(q > 0 ? block * (q + 1) : 0);
  used = true;
}

void BinnedPass::Tables::add(const Tables& o) {
  for (std::size_t k = 0; k < pair.size(); ++k) add_into(pair[k], o.pair[k]);
  for (std::size_t k = 0; k < code_sums.size(); ++k) {
    add_into(code_sums[k], o.code_sums[k]);
    add_into(row_group[k], o.row_group[k]);
  }
  add_into(row_upper, o.row_upper);
  add_into(row_prior, o.row_prior);
  sums.add(o.sums);
  weight_total += o.weight_total;
  wt_total += o.wt_total;
  prior_total += o.prior_total;
}

BinnedPass::~BinnedPass() = default;
BinnedPass::BinnedPass(BinnedPass&&) noexcept = default;
BinnedPass& BinnedPass::operator=(BinnedPass&&) noexcept = default;

Result<BinnedPass> BinnedPass::create(std::shared_ptr<const BinnedLayout> layout,
                                      const families::ResponseModel& model, VectorView beta0,
                                      const PassOptions& options) {
  const std::size_t p = layout->layout().width();
  if (beta0.size != p) {
    return fail(GamError::dimension_mismatch(
        diag::format("{} coefficients for a design of {} columns", beta0.size, p)));
  }
  BinnedPass out;
  out.beta0_ = Vector::from(beta0);
  out.model_ = model;
  out.options_ = options;
  out.options_.block_rows = std::max<std::size_t>(options.block_rows, 1);
  for (const auto& t : layout->tab_) {
    Vector e(t.codes);
    for (std::size_t u = 0; u < t.codes; ++u) {
      const double* r = t.table.row_ptr(u);
      for (std::size_t j = 0; j < t.width; ++j) e[u] += r[j] * beta0[t.offset + j];
    }
    out.eta_tables_.push_back(std::move(e));
  }
  out.row_beta_ = Vector(layout->row_width_);
  for (const auto& r : layout->row_terms_) {
    for (std::size_t j = 0; j < r.width; ++j) out.row_beta_[r.at + j] = beta0[r.offset + j];
  }
  for (std::size_t i = 0; i < std::max<std::size_t>(options.threads, 1); ++i) {
    out.tables_.push_back(std::make_unique<Tables>());
  }
  out.layout_ = std::move(layout);
  return out;
}

Status BinnedPass::add(const BinnedRows& rows) {
  const BinnedLayout& l = *layout_;
  const std::size_t n = rows.rows(), nc = l.bins_.size();
  if (rows.codes.size() < nc || rows.columns.size() < nc) {
    return fail(GamError::dimension_mismatch(diag::format(
        "the model reads {} input columns; codes for {} and values for {} given", nc,
        rows.codes.size(), rows.columns.size())));
  }
  for (std::size_t c = 0; c < nc; ++c) {
    if (l.reads_codes_[c] && (rows.codes[c].size != n || (n > 0 && rows.codes[c].data == nullptr))) {
      return fail(GamError::dimension_mismatch(diag::format(
          "the codes of input column {} cover {} rows, expected {}", c, rows.codes[c].size, n)));
    }
    if (l.reads_raw_[c] && rows.columns[c].size != n) {
      return fail(GamError::dimension_mismatch(diag::format(
          "input column {} has {} rows, expected {}", c, rows.columns[c].size, n)));
    }
  }
  if ((rows.weights.size != 0 && rows.weights.size != n) ||
      (rows.offset.size != 0 && rows.offset.size != n)) {
    return fail(GamError::dimension_mismatch("weights and offset must have one entry per row"));
  }
  if (n > 0 && added_ && grouped_ != (rows.groups != nullptr)) {
    // A grouped first pass reports the rows' response sums in place of its own.
    return fail(GamError::invalid_parameter("a pass reads rows or groups of rows, not both"));
  }
  added_ = added_ || n > 0;
  if (rows.groups != nullptr) {
    if (rows.offset.size != 0) return fail(GamError::invalid_parameter("groups of rows carry no offset"));
    if (rows.count.size != n || rows.spread.size != n) {
      return fail(GamError::dimension_mismatch("groups of rows need a count and a spread per row"));
    }
    grouped_ = true;
    groups_.deviance_within += rows.groups->deviance_within;
    groups_.response.add(rows.groups->response);
    groups_.edge_responses += rows.groups->edge_responses;
  }
  if (n == 0) return {};
  return for_each_block(n, options_.block_rows, tables_.size(),
                        [&](std::size_t part, std::size_t first, std::size_t count) {
                          return add_block(*tables_[part], rows, first, count);
                        });
}

// Each tabulated term's code per row of the block (its columns' codes in mixed radix).
Status BinnedPass::gather_codes(Tables& t, const BinnedRows& rows, std::size_t first,
                                std::size_t count) const {
  for (std::size_t k = 0; k < layout_->tab_.size(); ++k) {
    const auto& tab = layout_->tab_[k];
    if (tab.codes == 1) continue;
    if (auto ok = combine_codes(rows, tab.columns, tab.radix, first, count, t.code[k].data()); !ok) {
      return ok;
    }
  }
  return {};
}

// The row terms' design rows of the block, unscaled, in t.rows (stride q + 1).
Status BinnedPass::evaluate_row_terms(Tables& t, const BinnedRows& rows, std::size_t first,
                                      std::size_t count) const {
  const BinnedLayout& l = *layout_;
  const std::size_t q = l.row_width_, stride = q + 1;
  for (const auto& r : l.row_terms_) {
    double* out = t.rows.data() + r.at;
    if (!r.from_codes) {
      const auto& term = l.layout_->term(r.term);
      if (auto ok = term.evaluate(rows.columns, first, count, out, stride); !ok) return ok;
      continue;
    }
    t.margin_codes.resize(r.columns.size());
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t m = 0; m < r.columns.size(); ++m) {
        const std::uint32_t c = rows.codes[r.columns[m]][first + i];
        if (c >= r.margins[m].rows()) {
          return fail(GamError::invalid_parameter(diag::format(
              "a code of input column {} at row {} is {}; the column has {} bins", r.columns[m],
              rows.first_row + first + i, c, r.margins[m].rows())));
        }
        t.margin_codes[m] = c;
      }
      kron_row(r.margins, t.margin_codes.data(), out + i * stride, t.kron_a, t.kron_b);
    }
  }
  return {};
}

Status BinnedPass::add_block(Tables& t, const BinnedRows& rows, std::size_t first,
                             std::size_t count) const {
  const BinnedLayout& l = *layout_;
  if (!t.used) t.allocate(l, options_.block_rows, options_.column_sums);
  if (auto ok = gather_codes(t, rows, first, count); !ok) return ok;
  const std::size_t q = l.row_width_;
  std::fill(t.xb.begin(), t.xb.begin() + static_cast<std::ptrdiff_t>(count), 0.0);
  for (std::size_t k = 0; k < l.tab_.size(); ++k) {
    const double* e = eta_tables_[k].data();
    if (l.tab_[k].codes == 1) {
      for (std::size_t i = 0; i < count; ++i) t.xb[i] += e[0];
      continue;
    }
    const std::uint32_t* c = t.code[k].data();
    for (std::size_t i = 0; i < count; ++i) t.xb[i] += e[c[i]];
  }
  if (q > 0) {
    if (auto ok = evaluate_row_terms(t, rows, first, count); !ok) return ok;
    for (std::size_t i = 0; i < count; ++i) {
      const double* r = t.rows.data() + i * (q + 1);
      for (std::size_t j = 0; j < q; ++j) t.xb[i] += r[j] * row_beta_[j];
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    t.y[i] = rows.response[first + i];
    t.pw[i] = rows.weights.size == 0 ? 1.0 : rows.weights[first + i];
    t.eta[i] = (rows.offset.size == 0 ? 0.0 : rows.offset[first + i]) + t.xb[i];
    t.shift[i] = 0.0;
  }
  if (options_.from_response) {
    const StartRows start{t.y.data(), t.pw.data(), t.xb.data(), t.eta.data(), t.shift.data(),
                          first, count};
    if (auto ok = start_from_response(model_, rows.offset, start, rows.first_row, t.sums.response);
        !ok) {
      return ok;
    }
  }
  model_.working({t.y.data(), t.eta.data(), t.pw.data(), count},
                 {t.weight.data(), t.residual.data(), t.deviance.data(), t.pearson.data()});
  const double* multiplicity = nullptr;
  if (rows.groups != nullptr) {
    for (std::size_t i = 0; i < count; ++i) t.multiplicity[i] = rows.count[first + i];
    multiplicity = t.multiplicity.data();
  }
  count_edges(model_, options_.from_response, t.y.data(), t.pw.data(), t.weight.data(), count,
              t.sums.edge_responses, t.sums.edge_rows, multiplicity);
  reduce_rows(t, count);
  if (multiplicity != nullptr) add_within_groups(t, rows, first, count);
  scatter(t, count);
  return {};
}

// What groups of rows add beyond one row each at their mean response (code_tuples.h): the
// rest of their rows, Q / V(mu) to the Pearson sum and, where the working weight is
// positive, to t'Wt, and on a first pass Q to the response's sum of squares.
void BinnedPass::add_within_groups(Tables& t, const BinnedRows& rows, std::size_t first,
                                   std::size_t count) const {
  const auto& family = model_.family();
  const auto inverse = model_.link().inverse;
  const auto parameters = model_.parameters();
  double more_rows = 0.0, pearson = 0.0, ttwt = 0.0, square = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    if (t.pw[i] > 0.0) more_rows += t.multiplicity[i] - 1.0;
    const double q = rows.spread[first + i];
    if (!(q > 0.0)) continue;
    square += q;
    const double within = q / family.variance(inverse(t.eta[i]), parameters);
    pearson += within;
    if (t.weight[i] > 0.0) ttwt += within;
  }
  t.sums.rows += more_rows;
  t.sums.pearson += pearson;
  t.sums.ttwt += ttwt;
  if (options_.from_response) t.sums.response.residual_square_sum += square;
}

// The block's scalar sums; t.wt receives w t per row. (Sums in locals: through the
// tables' fields the compiler would store them on every row.)
void BinnedPass::reduce_rows(Tables& t, std::size_t count) const {
  PassSums& s = t.sums;
  double weight_sum = 0.0, rows = 0.0, deviance = 0.0, pearson = 0.0, ttwt = 0.0;
  double bw = 0.0, bwt = 0.0, bpw = 0.0;
  bool finite = true;
  for (std::size_t i = 0; i < count; ++i) {
    const double w = t.weight[i], pw = t.pw[i];
    const double r = t.shift[i] + t.residual[i];
    finite = finite && std::isfinite(t.deviance[i]) && std::isfinite(w) && std::isfinite(r) && w >= 0.0;
    weight_sum += pw;
    rows += pw > 0.0 ? 1.0 : 0.0;
    deviance += t.deviance[i];
    pearson += t.pearson[i];
    ttwt += w * r * r;
    t.wt[i] = w * r;
    bw += w;
    bwt += w * r;
    bpw += pw;
  }
  s.weight_sum += weight_sum;
  s.rows += rows;
  s.deviance += deviance;
  s.pearson += pearson;
  s.ttwt += ttwt;
  s.finite = s.finite && finite;
  t.weight_total += bw;
  t.wt_total += bwt;
  t.prior_total += bpw;
}

// Adds the block's rows to the pair tables, the per-code sums and the row terms' sums.
void BinnedPass::scatter(Tables& t, std::size_t count) const {
  const BinnedLayout& l = *layout_;
  const double* w = t.weight.data();
  for (std::size_t k = 0; k < l.pairs_.size(); ++k) {
    const auto& p = l.pairs_[k];
    double* acc = t.pair[k].data();
    const std::uint32_t* ca = t.code[p.a].data();
    const std::uint32_t* cb = t.code[p.b].data();
    if (p.kind == BinnedLayout::PairKind::Cross) {
      const std::size_t mb = l.tab_[p.b].codes;
      for (std::size_t i = 0; i < count; ++i) acc[ca[i] * mb + cb[i]] += w[i];
    } else if (p.kind == BinnedLayout::PairKind::GroupFirst ||
               p.kind == BinnedLayout::PairKind::GroupSecond) {
      const bool first = p.kind == BinnedLayout::PairKind::GroupFirst;
      const std::uint32_t* by = first ? ca : cb;
      const std::uint32_t* of = first ? cb : ca;
      const auto& o = l.tab_[first ? p.b : p.a];
      const std::size_t width = o.width;
      const double* r = o.table.data();
      const std::uint32_t* band = o.band.data();
      const std::size_t b = o.band_width;
      if (b == 4) {
        add_group_rows<4>(acc, by, of, r, band, width, w, count);
      } else {
        add_group_rows<0>(acc, by, of, r, band, width, w, count, b);
      }
    }
  }
  for (std::size_t k = 0; k < l.tab_.size(); ++k) {
    if (l.tab_[k].codes == 1) continue;
    const std::uint32_t* c = t.code[k].data();
    double* d = t.code_sums[k].data();
    const bool weight = l.counts_from_[k] < 0;
    if (weight && options_.column_sums) {
      add_code_sums<true, true>(d, c, w, t.wt.data(), t.pw.data(), count);
    } else if (weight) {
      add_code_sums<true, false>(d, c, w, t.wt.data(), t.pw.data(), count);
    } else if (options_.column_sums) {
      add_code_sums<false, true>(d, c, w, t.wt.data(), t.pw.data(), count);
    } else {
      add_code_sums<false, false>(d, c, w, t.wt.data(), t.pw.data(), count);
    }
  }
  if (l.row_width_ > 0) {
    const std::size_t q = l.row_width_, stride = q + 1;
    for (std::size_t k = 0; k < l.tab_.size(); ++k) {
      const bool single = l.tab_[k].codes == 1;
      for (std::size_t i = 0; i < count; ++i) {
        double* g = t.row_group[k].data() + (single ? 0 : t.code[k][i]) * q;
        const double* x = t.rows.data() + i * stride;
        for (std::size_t j = 0; j < q; ++j) g[j] += w[i] * x[j];
      }
    }
    for (std::size_t i = 0; i < count; ++i) {
      double* x = t.rows.data() + i * stride;
      for (std::size_t j = 0; j < t.row_prior.size(); ++j) t.row_prior[j] += t.pw[i] * x[j];
      const double sw = std::sqrt(w[i]);
      for (std::size_t j = 0; j < q; ++j) x[j] *= sw;
      x[q] = sw * (t.shift[i] + t.residual[i]);
    }
    const auto qi = static_cast<lapack_int>(stride);
    const auto ki = static_cast<lapack_int>(count);
    const double one = 1.0;
    const char uplo = 'U', trans = 'N';
    lapack::scipy_dsyrk_(&uplo, &trans, &qi, &ki, &one, t.rows.data(), &qi, &one,
                         t.row_upper.data(), &qi, 1, 1);
  }
}

PassSums BinnedPass::result() const {
  const BinnedLayout& l = *layout_;
  const std::size_t p = l.layout_->width();
  Tables total;
  bool any = false;
  for (const auto& t : tables_) {
    if (!t->used) continue;
    if (!any) {
      total = *t;
      any = true;
    } else {
      total.add(*t);
    }
  }
  PassSums out;
  out.xtwx = Matrix(p, p);
  out.xtwt = Vector(p);
  out.column_sums = Vector(options_.column_sums ? p : 0);
  if (!any) return out;
  PassSums scalars = total.sums;
  if (grouped_) {
    scalars.deviance += groups_.deviance_within;
    if (options_.from_response) {
      scalars.response.saturated_sum = groups_.response.saturated_sum;
      scalars.response.log_normaliser = groups_.response.log_normaliser;
      scalars.edge_responses = groups_.edge_responses;
    }
  }
  scalars.xtwx = std::move(out.xtwx);
  scalars.xtwt = std::move(out.xtwt);
  scalars.column_sums = std::move(out.column_sums);
  out = std::move(scalars);
  // Each tabulated term's counts per code: its own, or a margin of a cross-tabulation.
  std::vector<std::vector<double>> counts(l.tab_.size());
  for (std::size_t k = 0; k < l.tab_.size(); ++k) {
    const auto& tk = l.tab_[k];
    if (tk.codes == 1) {
      counts[k] = {total.weight_total};
    } else if (l.counts_from_[k] < 0) {
      counts[k] = code_column(total.code_sums[k], 0);
    } else {
      const auto& pr = l.pairs_[static_cast<std::size_t>(l.counts_from_[k])];
      const std::size_t mb = l.tab_[pr.b].codes;
      const std::vector<double>& c = total.pair[static_cast<std::size_t>(l.counts_from_[k])];
      counts[k].assign(tk.codes, 0.0);
      for (std::size_t u = 0; u < l.tab_[pr.a].codes; ++u)
        for (std::size_t v = 0; v < mb; ++v) counts[k][l.counts_first_[k] ? u : v] += c[u * mb + v];
    }
    const std::vector<double> z =
        tk.codes == 1 ? std::vector<double>{total.wt_total} : code_column(total.code_sums[k], 1);
    const std::vector<double> zs = table_sums(tk.table, z.data());
    for (std::size_t j = 0; j < tk.width; ++j) out.xtwt[tk.offset + j] += zs[j];
    Matrix self(tk.width, tk.width);
    add_weighted_gram(tk.table, tk.table, counts[k].data(), self);
    for (std::size_t i = 0; i < tk.width; ++i)
      for (std::size_t j = 0; j < tk.width; ++j) out.xtwx(tk.offset + i, tk.offset + j) += self(i, j);
    if (options_.column_sums) {
      const std::vector<double> pr =
          tk.codes == 1 ? std::vector<double>{total.prior_total} : code_column(total.code_sums[k], 2);
      const std::vector<double> cs = table_sums(tk.table, pr.data());
      for (std::size_t j = 0; j < tk.width; ++j) out.column_sums[tk.offset + j] += cs[j];
    }
  }
  assemble_pairs(total, counts, out);
  assemble_row_terms(total, out);
  return out;
}

// The off-diagonal blocks of two tabulated terms.
void BinnedPass::assemble_pairs(const Tables& t, const std::vector<std::vector<double>>& counts,
                                PassSums& out) const {
  const BinnedLayout& l = *layout_;
  for (std::size_t k = 0; k < l.pairs_.size(); ++k) {
    const auto& p = l.pairs_[k];
    const auto& ta = l.tab_[p.a];
    const auto& tb = l.tab_[p.b];
    Matrix block;
    switch (p.kind) {
      case BinnedLayout::PairKind::Counts:
        // A single-code side pairs every row with its one row: the other side's counts.
        block = cross_product(ta.table, (ta.codes == 1 ? counts[p.b] : counts[p.a]).data(), tb.table);
        break;
      case BinnedLayout::PairKind::Diagonal:
        block = Matrix(ta.width, tb.width);
        add_weighted_gram(ta.table, tb.table, counts[p.a].data(), block);
        break;
      case BinnedLayout::PairKind::Cross:
        block = cross_product(ta.table, t.pair[k].data(), tb.table);
        break;
      case BinnedLayout::PairKind::GroupFirst: {
        const Matrix g = Matrix::from({t.pair[k].data(), ta.codes, tb.width,
                                       static_cast<std::ptrdiff_t>(tb.width), 1});
        block = Matrix(ta.width, tb.width);
        add_weighted_gram(ta.table, g, std::vector<double>(ta.codes, 1.0).data(), block);
        break;
      }
      case BinnedLayout::PairKind::GroupSecond: {
        const Matrix g = Matrix::from({t.pair[k].data(), tb.codes, ta.width,
                                       static_cast<std::ptrdiff_t>(ta.width), 1});
        block = Matrix(ta.width, tb.width);
        Matrix transposed(tb.width, ta.width);
        add_weighted_gram(tb.table, g, std::vector<double>(tb.codes, 1.0).data(), transposed);
        for (std::size_t i = 0; i < ta.width; ++i)
          for (std::size_t j = 0; j < tb.width; ++j) block(i, j) = transposed(j, i);
        break;
      }
    }
    put_block(out.xtwx, ta.offset, tb.offset, block);
  }
}

// The row terms' own cross products (from the rank-k updates) and their blocks with the
// tabulated terms (from the per-code sums of their rows).
void BinnedPass::assemble_row_terms(const Tables& t, PassSums& out) const {
  const BinnedLayout& l = *layout_;
  const std::size_t q = l.row_width_;
  if (q == 0) return;
  std::vector<std::size_t> column(q);
  for (const auto& r : l.row_terms_) {
    for (std::size_t j = 0; j < r.width; ++j) column[r.at + j] = r.offset + j;
  }
  const std::size_t stride = q + 1;
  for (std::size_t j = 0; j < q; ++j) {
    for (std::size_t i = 0; i <= j; ++i) {
      const double v = t.row_upper[i + j * stride];
      out.xtwx(column[i], column[j]) += v;
      if (i != j) out.xtwx(column[j], column[i]) += v;
    }
    out.xtwt[column[j]] += t.row_upper[j + q * stride];
    if (options_.column_sums) out.column_sums[column[j]] += t.row_prior[j];
  }
  for (std::size_t k = 0; k < l.tab_.size(); ++k) {
    const auto& tk = l.tab_[k];
    const double* g = t.row_group[k].data();
    for (std::size_t u = 0; u < tk.codes; ++u) {
      const double* r = tk.table.row_ptr(u);
      for (std::size_t i = 0; i < tk.width; ++i) {
        if (r[i] == 0.0) continue;
        for (std::size_t j = 0; j < q; ++j) {
          const double v = r[i] * g[u * q + j];
          out.xtwx(tk.offset + i, column[j]) += v;
          out.xtwx(column[j], tk.offset + i) += v;
        }
      }
    }
  }
}

}  // namespace velkan::passes
