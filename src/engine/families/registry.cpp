// The family table: the one place that lists the families. A new family is a class in a
// file of its own (see poisson.cpp) and one line here; everything else reads the table.
#include <array>

#include "engine/families/family.h"

namespace velkan::families {

const Family& gaussian_family();
const Family& binomial_family();
const Family& poisson_family();
const Family& gamma_family();
const Family& quasipoisson_family();
const Family& quasibinomial_family();
const Family& negative_binomial_family();
const Family& tweedie_family();
const Family& inverse_gaussian_family();

std::span<const Family* const> all_families() {
  static const std::array<const Family*, 9> table{
      &gaussian_family(), &binomial_family(), &poisson_family(), &gamma_family(),
      &quasipoisson_family(), &quasibinomial_family(), &negative_binomial_family(),
      &tweedie_family(), &inverse_gaussian_family()};
  return table;
}

const Family* find_family(std::string_view name) {
  for (const Family* f : all_families())
    if (f->info().name == name) return f;
  return nullptr;
}

}  // namespace velkan::families
