// The optional sums of a pass (see PassOptions in accumulate.h): the observed information
// or its correction, a family parameter's sums, a profile likelihood's sums and the
// derivative sums of the Laplace-approximate criterion. One `InformationSums` per thread
// gathers them block by block from the block's unscaled raw design rows; they are summed
// in part order at the end like the cross products.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/families/family.h"
#include "engine/passes/accumulate.h"

namespace velkan::passes {

// X' diag(c) X for weights c of either sign, as two rank-k updates of the rows scaled by
// sqrt(|c|), split by sign (so that each is a Gram matrix: the cost of one update in all).
class SignedGram {
 public:
  void reset(std::size_t p, std::size_t block);
  // rows: count x stride, row-major; the first p entries of each row are used.
  void add(const double* rows, std::size_t stride, std::size_t count, const double* c);
  void add_to(Matrix& out) const;  // out += the accumulated matrix (p x p)

 private:
  std::size_t p_ = 0;
  std::vector<double> pos_, neg_;        // upper triangles, column-major p x p
  std::vector<double> pos_rows_, neg_rows_;
};

// The block's rows as the optional sums see them: unscaled raw design rows (count x
// stride, p used), and the family's rows.
struct BlockInput {
  const double* rows;
  std::size_t stride;
  std::size_t p;
  families::RowsIn family;
};

class InformationSums {
 public:
  InformationSums(const families::ResponseModel& model, const PassOptions& options,
                  std::size_t block, std::size_t p);
  // Adds the block's sums. With observed information and positive Newton weights, also
  // replaces the Fisher weights and residuals (of the block's rows) by the Newton ones.
  void add_block(const BlockInput& in, double* weight, double* residual);
  // Moves the thread's sums into `out` (which has the pass's shapes).
  void add_to(PassSums& out) const;
  bool observed() const { return observed_; }

 private:
  void add_newton(const BlockInput& in, double* weight, double* residual);
  void add_parameter(const BlockInput& in);
  void add_profile(const BlockInput& in);
  void add_derivatives(const BlockInput& in);

  const families::ResponseModel& model_;
  const PassOptions& options_;
  std::size_t p_ = 0;
  std::size_t k_ = 0;      // derivative coordinates
  bool observed_ = false;  // xtwx holds Newton weights
  bool correct_ = false;   // a correction is accumulated
  int order_ = 0;          // derivatives of the Newton weight wanted
  // Per-row arrays of one block.
  std::vector<double> score_, wn_, dw_, d2w_, diff_;
  std::vector<double> loglik_, l1_, l2_, g1_, g2_, w1_, w2_, weta_;
  std::vector<double> logd_, pd1_, pd2_;
  std::vector<double> hx_, e_, h_, c_;
  std::vector<double> half_;  // the inverse's lower triangle, diagonal halved (column-major)
  // Sums.
  SignedGram correction_;
  std::vector<SignedGram> a_;
  ParameterSums parameter_;
  ProfileSums profile_;
  DerivativeSums derivatives_;
};

}  // namespace velkan::passes
