// Passes over binned rows: the cross products of a design evaluated on each column's bin
// values, from small integer codes per row instead of the design rows.
//
// Each input column with bins (bins.h) has a code per row. A term whose kind can bin
// (TermBasis::binnable) and whose columns all have bins has a code per row too (its
// columns' codes in mixed radix, the first column outermost) and a table R_t: its design
// row at every code. With W the working weights and t the working response,
//
//   X_a' W X_b = R_a' C_ab R_b,   X_a' W t = R_a' z_a,
//
// where C_ab counts (weighted by w) the rows of each pair of codes of terms a and b, and
// z_a sums w t per code of a. A pass therefore adds, per row, w into one cell per pair of
// terms and w t into one cell per term: a handful of additions whatever the width of the
// design. Where a pair's table would be too large (a tensor product against another
// term), the pass sums the other term's rows per code of one of them instead (R_a' G_ab
// with G_ab = sum over a's codes of w R_b rows). Terms that cannot bin, and binnable
// terms with too many codes to tabulate, are "row terms": evaluated per row (from the raw
// columns, or from their margins' bin tables), reduced by a rank-k update among
// themselves and summed per code of every tabulated term.
//
// The sums are those of the exact pass over the binned design (the design whose inputs
// are replaced by their bins' values), to rounding: a column with no more distinct values
// than bins gives the exact pass's sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/gam_error.h"
#include "engine/families/family.h"
#include "engine/passes/accumulate.h"
#include "engine/passes/bins.h"
#include "engine/terms/layout.h"
#include "linalg/matrix.h"

namespace velkan::passes {

// Largest code space of a tabulated term, and most entries of its table (codes x width).
inline constexpr std::size_t kMaxTermCodes = std::size_t{1} << 16;
inline constexpr std::size_t kMaxTermTable = std::size_t{1} << 23;
// Most cells of one pair's cross-tabulation (per thread); larger pairs sum rows per code.
inline constexpr std::size_t kMaxCrossCells = std::size_t{1} << 12;
// Pairs whose rows are both at least this wide (bases with dense rows) are cross-tabulated
// up to this many cells instead: one addition a row, where group sums would take a row's
// width of them.
inline constexpr std::size_t kWideBand = 12;
inline constexpr std::size_t kMaxWideCrossCells = std::size_t{1} << 16;
// Narrower pairs of that size are cross-tabulated too while all cross-tabulations of a
// thread together stay within this many cells (8 MB). A row then costs one addition per
// pair instead of a band's; past this the tables' random additions miss the caches more
// than the group sums' do.
inline constexpr std::size_t kCrossBudget = std::size_t{1} << 20;

// The codes of one column over some rows: one byte each, or two (`wide`).
struct CodeView {
  const void* data = nullptr;
  std::size_t size = 0;
  bool wide = false;

  std::uint32_t operator[](std::size_t i) const {
    return wide ? static_cast<const std::uint16_t*>(data)[i]
                : static_cast<const std::uint8_t*>(data)[i];
  }
};

// How a pass reduces one term.
enum class BinnedMode {
  Table,  // looked up in its table by its code
  Codes,  // evaluated per row from its margins' rows at its columns' bins
  Raw,    // evaluated per row from the raw columns (its kind cannot bin, or a column has no bins)
};

class BinnedPass;

class BinnedLayout {
 public:
  // `layout` is the model's raw layout; bins[c] the bins of input column c, or no bins
  // (size() 0) for a column read raw. Refused (InvalidParameter): a bins list of the wrong
  // length, malformed bins, a binnable term whose margin rows do not multiply to its width.
  static Result<BinnedLayout> create(const terms::ModelLayout& layout,
                                     std::vector<ColumnBins> bins);

  const terms::ModelLayout& layout() const { return *layout_; }
  const ColumnBins& bins(std::size_t column) const { return bins_[column]; }
  BinnedMode mode(std::size_t term) const { return modes_[term]; }
  // Whether a pass reads input column c as codes / as raw values.
  bool reads_codes(std::size_t c) const { return reads_codes_[c]; }
  bool reads_raw(std::size_t c) const { return reads_raw_[c]; }

 private:
  friend class BinnedPass;

  struct Tabulated {
    std::size_t term = 0, offset = 0, width = 0, codes = 1;
    std::vector<std::size_t> columns, radix;  // input columns and their bin counts
    Matrix table;                             // codes x width
    // Each table row's non-zero entries lie in [band[u], band[u] + band_width) (B-spline
    // rows: a few); the same width for every row keeps the additions free of branches.
    std::vector<std::uint32_t> band;
    std::size_t band_width = 0;
  };
  struct RowTerm {
    std::size_t term = 0, offset = 0, width = 0, at = 0;  // at: start in the row block
    bool from_codes = false;
    std::vector<std::size_t> columns;
    std::vector<Matrix> margins;  // from_codes: each column's rows at its bin values
  };
  enum class PairKind {
    Counts,    // one side has a single code: the other side's counts
    Diagonal,  // both read one and the same column: codes always equal
    Cross,     // cross-tabulation, first's codes x second's
    GroupFirst,   // per code of the first, sums of w times the second's rows (their bands)
    GroupSecond,  // per code of the second, sums of w times the first's rows
  };
  struct Pair {
    std::size_t a = 0, b = 0;  // indices into tab_
    PairKind kind = PairKind::Cross;
    std::size_t cells = 0;     // entries of its accumulator (0 for Counts and Diagonal)
  };

  void plan_pairs();
  static void set_bands(Tabulated& t);

  std::shared_ptr<const terms::ModelLayout> layout_;
  std::vector<ColumnBins> bins_;
  std::vector<BinnedMode> modes_;
  std::vector<bool> reads_codes_, reads_raw_;
  std::vector<Tabulated> tab_;
  std::vector<RowTerm> row_terms_;
  std::size_t row_width_ = 0;
  std::vector<Pair> pairs_;
  // For each tabulated term: the Cross pair whose margins give its counts (or -1: the
  // pass counts it itself), and whether it is that pair's first term.
  std::vector<std::ptrdiff_t> counts_from_;
  std::vector<bool> counts_first_;
};

// What groups of rows (code_tuples.h) carry beyond their count and spread: sums over the
// rows they stand for that no group row can give.
struct GroupTotals {
  double deviance_within = 0.0;     // the deviance of the rows about their groups' means
  // The rows' response-only sums and edge responses, which a first pass over the groups
  // reports in place of its own (the saturated and normalising parts are not linear in y).
  families::ResponseSums response;
  double edge_responses = 0.0;
};

// The rows of one call of BinnedPass::add. Every given view has rows() entries; codes[c]
// must be given for each column the layout reads as codes, columns[c] for each it reads
// raw (others may be empty); weights and offset may be empty (ones, zeros).
struct BinnedRows {
  std::span<const CodeView> codes;
  std::span<const VectorView> columns;
  VectorView response;
  VectorView weights;
  VectorView offset;
  std::size_t first_row = 0;  // position of these rows in the whole data, for messages
  // Groups of rows (code_tuples.h), when `groups` is given: row i stands for count[i] rows
  // of positive weight whose prior weights sum to weights[i], whose weighted mean response
  // is response[i] and whose weighted sum of squares about it is spread[i]. A first pass
  // starts each group's rows from the group's mean response.
  VectorView count;
  VectorView spread;
  const GroupTotals* groups = nullptr;
  std::size_t rows() const { return response.size; }
};

// The codes of rows [first, first + count) of `rows` in the mixed radix of `columns`
// (radix[m] bins each, the first outermost), into out[0, count). Refused
// (InvalidParameter): a code outside its column's bins, naming the column and the block.
Status combine_codes(const BinnedRows& rows, std::span<const std::size_t> columns,
                     std::span<const std::size_t> radix, std::size_t first, std::size_t count,
                     std::uint32_t* out);

// One pass over binned rows given in any number of calls of `add` (chunks), reduced to the
// same PassSums as `accumulate` (accumulate.h) over the binned design. Each thread keeps
// its own tables; result() adds them in thread order and assembles the p x p sums once.
class BinnedPass {
 public:
  // Refused: beta0 not of the layout's width.
  static Result<BinnedPass> create(std::shared_ptr<const BinnedLayout> layout,
                                   const families::ResponseModel& model, VectorView beta0,
                                   const PassOptions& options);
  ~BinnedPass();
  BinnedPass(BinnedPass&&) noexcept;
  BinnedPass& operator=(BinnedPass&&) noexcept;

  // Refused: views of unequal lengths or missing, a code outside its column's bins, a
  // factor code outside its levels (raw terms); on a first pass, a response outside the
  // family's support; groups of rows with an offset, or after rows (and rows after groups).
  // A refused call may have added some of its rows.
  Status add(const BinnedRows& rows);
  PassSums result() const;

 private:
  struct Tables;
  BinnedPass() = default;
  Status add_block(Tables& t, const BinnedRows& rows, std::size_t first, std::size_t count) const;
  Status gather_codes(Tables& t, const BinnedRows& rows, std::size_t first, std::size_t count) const;
  Status evaluate_row_terms(Tables& t, const BinnedRows& rows, std::size_t first,
                            std::size_t count) const;
  void reduce_rows(Tables& t, std::size_t count) const;
  void add_within_groups(Tables& t, const BinnedRows& rows, std::size_t first,
                         std::size_t count) const;
  void scatter(Tables& t, std::size_t count) const;
  void assemble_pairs(const Tables& t, const std::vector<std::vector<double>>& counts,
                      PassSums& out) const;
  void assemble_row_terms(const Tables& t, PassSums& out) const;

  std::shared_ptr<const BinnedLayout> layout_;
  families::ResponseModel model_;
  Vector beta0_;
  PassOptions options_;
  std::vector<Vector> eta_tables_;  // per tabulated term: R_t beta_t
  Vector row_beta_;                 // coefficients of the row terms, in row-block order
  std::vector<std::unique_ptr<Tables>> tables_;
  GroupTotals groups_;  // the totals of the groups added
  bool grouped_ = false, added_ = false;
};

}  // namespace velkan::passes
