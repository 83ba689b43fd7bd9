#include "velkan_core/fit/design.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <cmath>
#include <limits>
#include <vector>

#include "common/interrupt.h"

namespace velkan {

namespace {

double infinity_norm(MatrixView m) {
  double best = 0.0;
  for (std::size_t i = 0; i < m.rows; ++i) {
    double sum = 0.0;
    for (std::size_t j = 0; j < m.cols; ++j) sum += std::abs(m(i, j));
    // NaN rows do not decide the norm (std::max keeps the first argument on NaN).
    best = std::max(best, sum);
  }
  return best;
}

// cgroup v1 reports "no limit" as a value near 2^63 (rounded down to a page).
constexpr double kNoCgroupLimit = 9.0e18;

// One limit file: its value in bytes, or 0 when it holds none ("max" in cgroup v2, a value
// near 2^63 in cgroup v1) or cannot be read.
double limit_in_file(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text) || text == "max") return 0.0;
  char* end = nullptr;
  const double bytes = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !(bytes > 0.0) || bytes >= kNoCgroupLimit) return 0.0;
  return bytes;
}

// The smallest memory limit on the process's control group and its ancestors, in bytes,
// from /proc/self/cgroup (cgroup v2 "0::/path" with memory.max, cgroup v1 "N:memory:/path"
// with memory.limit_in_bytes); 0 when none is set.
double cgroup_memory_limit() {
  std::ifstream self("/proc/self/cgroup");
  std::string line;
  double smallest = 0.0;
  while (std::getline(self, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::string base, file;
    if (controllers.empty()) {
      base = "/sys/fs/cgroup";
      file = "/memory.max";
    } else if (controllers == "memory" || controllers.find("memory,") != std::string::npos ||
               controllers.find(",memory") != std::string::npos) {
      base = "/sys/fs/cgroup/memory";
      file = "/memory.limit_in_bytes";
    } else {
      continue;
    }
    // The group itself, then each ancestor up to the hierarchy's root.
    while (true) {
      const double limit = limit_in_file(base + (path == "/" ? "" : path) + file);
      if (limit > 0.0 && (smallest == 0.0 || limit < smallest)) smallest = limit;
      if (path.empty() || path == "/") break;
      const std::size_t slash = path.rfind('/');
      path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
  }
  return smallest;
}

}  // namespace

std::size_t max_matrix_elements() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  double bytes = pages > 0 && page_size > 0
                     ? static_cast<double>(pages) * static_cast<double>(page_size)
                     : static_cast<double>(std::size_t{1} << 31) * 3.0 * sizeof(double);
  // In a container the control group's limit, often far below the host's memory, is what
  // the process can actually use.
  const double limit = cgroup_memory_limit();
  if (limit > 0.0 && limit < bytes) bytes = limit;
  return static_cast<std::size_t>(bytes / 3.0 / sizeof(double));
}

Result<ModelDesign> build_design(std::span<const SmoothTerm> terms, MatrixView x) {
  ModelDesign design;
  std::size_t p = 0;
  for (const SmoothTerm& term : terms) {
    if (term.column >= x.cols) {
      return fail(GamError::dimension_mismatch(
          "smooth '" + term.name + "' uses column " + std::to_string(term.column) +
          " but X has " + std::to_string(x.cols) + " columns"));
    }
    design.offsets.push_back(p);
    design.widths.push_back(term.width());
    p += term.width();
  }
  const std::size_t n = x.rows;
  if (p != 0 && n > max_matrix_elements() / p) {
    return fail(GamError::invalid_parameter("design matrix of " + std::to_string(n) + " x " +
                                            std::to_string(p) +
                                            " does not fit in this machine's memory"));
  }
  // Every entry is written below (a basis writes all its columns of every row).
  design.x = Matrix::uninitialised(n, p);
  design.block_norms.assign(terms.size(), 0.0);

  // Rows are filled chunk by chunk, every block of a chunk before the next chunk, so each
  // block's infinity norm is taken while its rows are still in cache. A basis writes
  // straight into the design rows.
  for (std::size_t r0 = 0; r0 < n; r0 += kDesignChunkRows) {
    if (auto ok = poll_interrupt(); !ok) return fail(std::move(ok.error()));
    const std::size_t len = std::min(kDesignChunkRows, n - r0);
    for (std::size_t j = 0; j < terms.size(); ++j) {
      const SmoothTerm& term = terms[j];
      const VectorView column = x.col(term.column);
      const VectorView part{column.data + static_cast<std::ptrdiff_t>(r0) * column.stride, len,
                            column.stride};
      double* rows = design.x.row_ptr(r0) + design.offsets[j];
      const std::size_t w = design.widths[j];
      if (auto ok = term.basis->evaluate_into(part, rows, p); !ok) return fail(ok.error());
      const MatrixView block{rows, len, w, static_cast<std::ptrdiff_t>(p), 1};
      // NaN rows do not decide the norm (std::max keeps the first argument on NaN).
      design.block_norms[j] = std::max(design.block_norms[j], infinity_norm(block));
    }
  }
  return design;
}

std::vector<Matrix> scaled_penalties(std::span<const SmoothTerm> terms, const ModelDesign& design,
                                     std::vector<double>* scales) {
  const std::size_t p = design.x.cols();
  std::vector<Matrix> out;
  out.reserve(terms.size());
  if (scales) scales->clear();
  for (std::size_t j = 0; j < terms.size(); ++j) {
    const std::size_t w = design.widths[j];
    const std::size_t off = design.offsets[j];
    const Matrix& s = terms[j].penalty;
    // Only the leading w x w block of the penalty belongs to the (possibly constrained) basis.
    const std::size_t rows = std::min(w, s.rows());
    const std::size_t cols = std::min(w, s.cols());
    double s_norm = 0.0;
    for (std::size_t a = 0; a < rows; ++a) {
      double sum = 0.0;
      for (std::size_t b = 0; b < cols; ++b) sum += std::abs(s(a, b));
      s_norm = std::max(s_norm, sum);
    }
    const double b_norm = design.block_norms[j];
    const double c = s_norm > kPenaltyNormFloor ? b_norm * b_norm / s_norm : 1.0;
    if (scales) scales->push_back(c);
    Matrix full(p, p);
    for (std::size_t a = 0; a < rows; ++a)
      for (std::size_t b = 0; b < cols; ++b) full(off + a, off + b) = c * s(a, b);
    out.push_back(std::move(full));
  }
  return out;
}

}  // namespace velkan
