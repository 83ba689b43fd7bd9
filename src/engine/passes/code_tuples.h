// Rows of a binned fit gathered by their codes.
//
// Rows whose code columns all agree have the same design row, and so, at any coefficients,
// the same linear predictor, mean and working weight. A pass is linear in the response
// given the mean: with W the sum of a group's prior weights w_i and ybar their weighted
// mean response, the group adds to X'WX and X'Wt exactly what one row of prior weight W
// and response ybar adds. What it adds beyond that is known once the group is formed:
//
//   t'Wt and the Pearson sum:  + Q / V(mu),   Q = sum w_i (y_i - ybar)^2
//   the deviance:              + sum w_i d(y_i, ybar), the same at every mean,
//
// the last because every family's deviance is 2 int_mu^y (y - s) / V(s) ds, whose
// weighted sum over a group differs from W d(ybar, mu) by a constant: it equals
// sum w_i d(y_i, c) - W d(ybar, c) at any c. At c the mean of all the rows, the first
// term summed over the groups is the family's null deviance, which follows from sums of
// the response alone.
//
// So once a fit has formed the groups (one cell per combination of the code columns'
// bins) in one pass over its rows, every pass reads one row per occupied cell instead of
// the data: at 10^9 rows and three columns of 256 bins, 2^24 rows at most. The sums are
// those of the rows the cells stand for, to rounding, but for a first pass, which starts
// every row of a group from the group's mean response instead of its own, and for the
// rows fitted on the edge, which count a group only when its mean is on the edge.
// Offsets and columns read raw differ within a group, so a layout with either is not
// gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/gam_error.h"
#include "engine/families/family.h"
#include "engine/passes/binned.h"

namespace velkan::passes {

// Most cells of a CodeTuples (32 bytes each: 512 MB).
inline constexpr std::size_t kMaxTupleCells = std::size_t{1} << 24;

class CodeTuples {
 public:
  // The number of cells of the layout's code columns together (the product of their bin
  // counts, capped at kMaxTupleCells + 1), or 0 when a pass of the layout reads a column
  // raw.
  static std::size_t cells(const BinnedLayout& layout);

  // The squares of the responses are summed about the mean at `start_level` (a linear
  // predictor near the response's mean keeps their digits). Refused (InvalidParameter): a
  // layout cells() gives 0 or more than kMaxTupleCells; a start level whose mean is not
  // finite.
  static Result<CodeTuples> create(std::shared_ptr<const BinnedLayout> layout,
                                   const families::ResponseModel& model, double start_level,
                                   std::size_t threads);
  ~CodeTuples();
  CodeTuples(CodeTuples&&) noexcept;
  CodeTuples& operator=(CodeTuples&&) noexcept;

  // Adds rows (codes of the code columns, response, weights; no offset), and their
  // response-only sums (GroupTotals). Rows of zero weight are no part of any cell.
  // Refused: a finished set, an offset, views of unequal lengths, a code outside its
  // column's bins, a response outside the family's support (naming its row).
  Status add(const BinnedRows& rows);
  // Forms the groups from the cells; add() is refused from then on.
  Status finish();
  bool finished() const { return finished_; }
  // Occupied cells (after finish).
  std::size_t size() const { return size_; }
  // The groups as rows of a BinnedPass (after finish; valid while this object lives).
  BinnedRows rows() const;

 private:
  // A cell is kCellSize doubles: before finish() the sums of w, w y, w (y - c)^2 and of
  // the rows; after it W, ybar, Q and the rows (read by rows() with that stride).
  static constexpr std::size_t kCellSize = 4;
  struct Part;
  CodeTuples() = default;
  Status add_part(Part& part, std::size_t index, const BinnedRows& rows, std::size_t first,
                  std::size_t count);
  void add_row_sums(Part& part, const BinnedRows& rows, std::size_t first, std::size_t count) const;
  double deviance_within() const;

  std::shared_ptr<const BinnedLayout> layout_;
  families::ResponseModel model_;
  double reference_ = 0.0;  // c = g^-1(start level): the centre of the squares
  std::vector<std::size_t> columns_, radix_;
  std::size_t cell_count_ = 0, size_ = 0;
  std::vector<double> cells_;  // cell_count_ cells, then the parts' spares
  std::vector<std::unique_ptr<Part>> parts_;
  bool finished_ = false;
  GroupTotals totals_;
  // After finish: each code column's codes of the occupied cells, and their views.
  std::vector<std::vector<std::uint8_t>> codes_;
  std::vector<CodeView> code_views_;
  std::vector<VectorView> no_columns_;
};

}  // namespace velkan::passes
