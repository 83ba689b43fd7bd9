// Binned passes: a column's sketch and bins (first pass), its codes, the binned layout and
// the pass object that reduces binned rows chunk by chunk to PassSums.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>

#include "engine/families/family.h"
#include "engine/passes/binned.h"
#include "engine/passes/bins.h"
#include "engine/passes/code_tuples.h"
#include "engine/passes/row_blocks.h"
#include "engine/python/bindings.h"
#include "engine/python/convert.h"
#include "engine/terms/layout.h"

namespace velkan::engine {

using namespace nb::literals;
using passes::BinnedLayout;
using passes::BinnedPass;
using passes::ColumnBins;
using passes::ColumnSketch;
using passes::CodeTuples;

namespace {

using CodeArray = nb::ndarray<nb::ro, nb::ndim<1>, nb::device::cpu, nb::c_contig>;
using SketchState = std::tuple<double, double, double, std::size_t, bool, std::vector<double>,
                                std::size_t, std::size_t>;
// Values coded per task when a column's codes are split across threads.
constexpr std::size_t kCodeBlock = std::size_t{1} << 16;

passes::CodeView code_view(const CodeArray& a) {
  if (a.dtype() == nb::dtype<std::uint8_t>()) return {a.data(), a.shape(0), false};
  if (a.dtype() == nb::dtype<std::uint16_t>()) return {a.data(), a.shape(0), true};
  throw nb::type_error("bin codes must be uint8 or uint16 arrays");
}

// The codes of x (uint8 for at most 256 bins, else uint16) and the index of its first
// value that is not finite (x's length when none).
nb::tuple codes_of(const ColumnBins& bins, const Array1& x, std::size_t threads) {
  Inputs in;
  const VectorView v = in(x);
  const std::size_t n = v.size;
  const bool wide = bins.size() > passes::kByteCodeBins;
  const std::size_t bytes = wide ? 2 : 1;
  auto* data = new std::uint8_t[std::max<std::size_t>(n * bytes, 1)];
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<std::uint8_t*>(p); });
  std::vector<std::size_t> bad(std::max<std::size_t>(threads, 1), n);
  auto status = without_gil([&] {
    const passes::BinCoder coder(bins);
    return passes::for_each_block(
        n, kCodeBlock, bad.size(), [&](std::size_t part, std::size_t first, std::size_t count) -> Status {
          const VectorView block{v.data + static_cast<std::ptrdiff_t>(first) * v.stride, count, v.stride};
          const std::size_t at = wide
              ? coder.code(block, reinterpret_cast<std::uint16_t*>(data) + first)
              : coder.code(block, data + first);
          if (at < count) {
            bad[part] = std::min(bad[part], first + at);
            return fail(GamError::invalid_parameter("not finite"));
          }
          return {};
        });
  });
  const std::size_t first_bad = *std::min_element(bad.begin(), bad.end());
  if (!status && first_bad == n) raise(status.error());  // an interrupt
  nb::object array = wide ? nb::cast(nb::ndarray<nb::numpy, std::uint16_t, nb::ndim<1>>(
                                reinterpret_cast<std::uint16_t*>(data), {n}, owner))
                          : nb::cast(nb::ndarray<nb::numpy, std::uint8_t, nb::ndim<1>>(data, {n}, owner));
  return nb::make_tuple(array, first_bad);
}

// The input columns c for which (l.*reads)(c) holds.
std::vector<std::size_t> columns_where(const BinnedLayout& l, bool (BinnedLayout::*reads)(std::size_t) const) {
  std::vector<std::size_t> out;
  for (std::size_t c = 0; c < l.layout().input_columns(); ++c)
    if ((l.*reads)(c)) out.push_back(c);
  return out;
}

void bind_bins(nb::module_& m) {
  nb::class_<ColumnBins>(m, "ColumnBins", "The bins of one input column.")
      .def(
          "__init__",
          [](ColumnBins* self, const Array1& edges, const Array1& values, bool exact) {
            ColumnBins b{to_vector(edges), to_vector(values), exact};
            if (auto ok = b.check(); !ok) raise(ok.error());
            new (self) ColumnBins(std::move(b));
          },
          "edges"_a, "values"_a, "exact"_a)
      .def_prop_ro("edges", [](const ColumnBins& b) { return to_numpy(b.edges); }, nb::rv_policy::automatic)
      .def_prop_ro("values", [](const ColumnBins& b) { return to_numpy(b.values); }, nb::rv_policy::automatic)
      .def_ro("exact", &ColumnBins::exact)
      .def_prop_ro("size", &ColumnBins::size)
      .def("codes", &codes_of, "x"_a, "threads"_a = 1,
           "(codes, first) : the codes of x and the index of its first non-finite value.")
      .def("__getstate__",
           [](const ColumnBins& b) { return std::make_tuple(to_numpy(b.edges), to_numpy(b.values), b.exact); })
      .def("__setstate__", [](ColumnBins* self, const std::tuple<Array1, Array1, bool>& s) {
        ColumnBins b{to_vector(std::get<0>(s)), to_vector(std::get<1>(s)), std::get<2>(s)};
        if (auto ok = b.check(); !ok) raise(ok.error());
        new (self) ColumnBins(std::move(b));
      });

  nb::class_<ColumnSketch>(m, "ColumnSketch",
                           "A first pass's summary of one column, from which its bins follow.")
      .def(nb::init<std::size_t>(), "max_bins"_a)
      .def_static(
          "keeping_values",
          [](std::size_t max_bins, std::size_t exact_limit, std::size_t sample_size) {
            if (!ColumnSketch::sizes_valid(max_bins, exact_limit, sample_size)) {
              throw nb::value_error("keeping_values: max_bins 0 or 2-4096, exact_limit from "
                                    "max(2, max_bins) to 2^20, sample_size from 2 (or the bins' "
                                    "sample) to 65536");
            }
            return ColumnSketch::keeping_values(max_bins, exact_limit, sample_size);
          },
          "max_bins"_a, "exact_limit"_a, "sample_size"_a,
          "A sketch that also keeps the column's distinct values (exactly while at most "
          "exact_limit, then a sample of sample_size); its bins (max_bins 0: none) are those "
          "of ColumnSketch(max_bins).")
      .def("values", [](const ColumnSketch& s) { return to_numpy(Vector(s.values())); },
           "The distinct values, sorted: all, or the sample with the exact extremes.")
      .def(
          "update",
          [](ColumnSketch& s, const Array1& x, const std::optional<Array1>& w) {
            Inputs in;
            const VectorView v = in(x), wv = in(w);
            if (wv.size != 0 && wv.size != v.size) throw nb::value_error("one weight per value");
            return without_gil([&] { return s.update(v, wv); });
          },
          "x"_a, "weights"_a.none() = nb::none(),
          "Adds values (weights: for the weighted sum); returns the index of the first "
          "non-finite one (len(x) if none).")
      .def("merge", &ColumnSketch::merge, "other"_a)
      .def("bins", [](const ColumnSketch& s) { return value_or_raise(s.bins()); })
      .def_prop_ro("min", &ColumnSketch::min)
      .def_prop_ro("max", &ColumnSketch::max)
      .def_prop_ro("weighted_sum", &ColumnSketch::weighted_sum)
      .def_prop_ro("exact", &ColumnSketch::exact)
      .def_prop_ro("max_bins", &ColumnSketch::max_bins)
      .def("__getstate__",
           [](const ColumnSketch& s) {
             auto st = s.state();
             return SketchState{st.min,   st.max,    st.sum, st.max_bins, st.exact, std::move(st.values),
                                st.exact_limit, st.sample_size};
           })
      .def("__setstate__", [](ColumnSketch* self, const SketchState& s) {
        ColumnSketch::State st{std::get<0>(s), std::get<1>(s), std::get<2>(s), std::get<3>(s),
                               std::get<4>(s), std::get<5>(s), std::get<6>(s), std::get<7>(s)};
        new (self) ColumnSketch(value_or_raise(ColumnSketch::from_state(st)));
      });
}

void bind_binned_pass(nb::module_& m) {
  nb::class_<BinnedLayout>(m, "BinnedLayout", "A layout with the bins of its input columns.")
      .def_static(
          "create",
          [](const terms::ModelLayout& layout, const std::vector<std::optional<ColumnBins>>& bins) {
            std::vector<ColumnBins> b;
            for (const auto& x : bins) b.push_back(x ? *x : ColumnBins{});
            // Tabulating a thin-plate smooth takes a while: without the lock, Ctrl-C heard.
            auto created = without_gil([&] { return BinnedLayout::create(layout, std::move(b)); });
            return std::make_shared<BinnedLayout>(value_or_raise(std::move(created)));
          },
          "layout"_a, "bins"_a)
      .def_prop_ro("modes",
                   [](const BinnedLayout& l) {
                     std::vector<std::string> out;
                     for (std::size_t t = 0; t < l.layout().term_count(); ++t) {
                       const auto mode = l.mode(t);
                       out.emplace_back(mode == passes::BinnedMode::Table   ? "table"
                                        : mode == passes::BinnedMode::Codes ? "codes"
                                                                            : "raw");
                     }
                     return out;
                   })
      .def_prop_ro("code_columns",
                   [](const BinnedLayout& l) { return columns_where(l, &BinnedLayout::reads_codes); })
      .def_prop_ro("raw_columns",
                   [](const BinnedLayout& l) { return columns_where(l, &BinnedLayout::reads_raw); })
      .def_prop_ro("tuple_cells", &CodeTuples::cells,
                   "Cells of the code columns' bins together (0: a column is read raw).");

  nb::class_<BinnedPass>(m, "BinnedPass", "One pass over binned rows, fed chunk by chunk.")
      .def(
          "__init__",
          [](BinnedPass* self, std::shared_ptr<const BinnedLayout> layout,
             const families::ResponseModel& model, const Array1& beta0, bool from_response,
             bool column_sums, std::size_t threads, std::size_t block_rows) {
            Inputs in;
            passes::PassOptions opt{from_response, column_sums, threads, block_rows};
            new (self) BinnedPass(value_or_raise(BinnedPass::create(std::move(layout), model, in(beta0), opt)));
          },
          "layout"_a, "model"_a, "beta0"_a, "from_response"_a, "column_sums"_a, "threads"_a = 1,
          "block_rows"_a = passes::kPassBlockRows)
      .def(
          "add",
          [](BinnedPass& pass, const std::vector<std::optional<CodeArray>>& codes,
             const std::vector<std::optional<Array1>>& columns, const Array1& y,
             const std::optional<Array1>& weights, const std::optional<Array1>& offset,
             std::size_t first_row) {
            Inputs in;
            std::vector<passes::CodeView> cv;
            for (const auto& c : codes) cv.push_back(c ? code_view(*c) : passes::CodeView{});
            std::vector<VectorView> raw;
            for (const auto& c : columns) raw.push_back(in(c));
            passes::BinnedRows rows{cv, raw, in(y), in(weights), in(offset), first_row};
            auto r = without_gil([&] { return pass.add(rows); });
            if (!r) raise(r.error());
          },
          "codes"_a, "columns"_a, "y"_a, "weights"_a.none(), "offset"_a.none(), "first_row"_a = 0,
          "Adds rows: codes[c] for the binned input columns, columns[c] for those read raw.")
      .def(
          "add_tuples",
          [](BinnedPass& pass, const CodeTuples& tuples) {
            if (!tuples.finished()) throw nb::value_error("add_tuples: the groups are not formed yet");
            auto r = without_gil([&] { return pass.add(tuples.rows()); });
            if (!r) raise(r.error());
          },
          "tuples"_a, "Adds the rows gathered in finished CodeTuples, as the rows they stand for.")
      .def("result", &BinnedPass::result, "The pass's sums over every row added.");
}

void bind_code_tuples(nb::module_& m) {
  nb::class_<CodeTuples>(m, "CodeTuples",
                         "Rows gathered by their codes: one row per occupied cell for later passes.")
      .def(
          "__init__",
          [](CodeTuples* self, std::shared_ptr<const BinnedLayout> layout,
             const families::ResponseModel& model, double start_level, std::size_t threads) {
            new (self) CodeTuples(value_or_raise(CodeTuples::create(std::move(layout), model, start_level, threads)));
          },
          "layout"_a, "model"_a, "start_level"_a, "threads"_a = 1)
      .def(
          "add",
          [](CodeTuples& tuples, const std::vector<std::optional<CodeArray>>& codes, const Array1& y,
             const std::optional<Array1>& weights, std::size_t first_row) {
            Inputs in;
            std::vector<passes::CodeView> cv;
            for (const auto& c : codes) cv.push_back(c ? code_view(*c) : passes::CodeView{});
            passes::BinnedRows rows{cv, {}, in(y), in(weights), {}, first_row};
            if (auto r = without_gil([&] { return tuples.add(rows); }); !r) raise(r.error());
          },
          "codes"_a, "y"_a, "weights"_a.none(), "first_row"_a = 0,
          "Adds rows (codes of the code columns, response, weights).")
      .def("finish", [](CodeTuples& tuples) {
            if (auto r = without_gil([&] { return tuples.finish(); }); !r) raise(r.error());
          }, "Forms the groups; no rows may be added after.")
      .def_prop_ro("finished", &CodeTuples::finished)
      .def_prop_ro("size", &CodeTuples::size, "Occupied cells (once finished).");
}

}  // namespace

void bind_binning(nb::module_& m) {
  bind_bins(m);
  bind_binned_pass(m);
  bind_code_tuples(m);
}

}  // namespace velkan::engine
