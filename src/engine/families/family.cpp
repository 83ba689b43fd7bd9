#include "engine/families/family.h"

#include <cmath>
#include <limits>

#include "diag/format.h"

namespace velkan::families {

void ResponseSums::add(const ResponseSums& o) {
  response_sum += o.response_sum;
  residual_sum += o.residual_sum;
  residual_square_sum += o.residual_square_sum;
  saturated_sum += o.saturated_sum;
  log_normaliser += o.log_normaliser;
  offset_rows += o.offset_rows;
  weight_sum += o.weight_sum;
}

void Family::working(const ResponseModel& model, const RowsIn& in, const RowsOut& out) const {
  const Link& link = model.link();
  const auto params = model.parameters();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < in.count; ++i) {
    const double y = in.y[i], pw = in.prior_weight[i];
    const double mu = link.inverse(in.eta[i]);
    if (!valid_mean(mu)) {
      // Outside the mean's domain (an identity link taking a count's mean below zero):
      // a step too far, which the fit halves back.
      out.weight[i] = out.residual[i] = out.deviance[i] = out.pearson[i] = nan;
      continue;
    }
    const double d = link.mu_eta(in.eta[i]);
    const double v = variance(mu, params);
    const double r = y - mu;
    out.weight[i] = pw * d * d / v;
    out.residual[i] = out.weight[i] > 0.0 ? r / d : 0.0;
    out.deviance[i] = pw * unit_deviance(y, mu, params);
    out.pearson[i] = pw * r * r / v;
  }
}

Result<ResponseModel> ResponseModel::create(std::string_view family, std::string_view link,
                                            std::vector<double> parameters) {
  ResponseModel m;
  m.family_ = find_family(family);
  if (m.family_ == nullptr) {
    std::string known;
    for (const Family* f : all_families()) {
      known += known.empty() ? "" : ", ";
      known += diag::format("'{}'", f->info().name);
    }
    return fail(GamError::invalid_parameter(
        diag::format("unknown family '{}'; use one of {}", family, known)));
  }
  const FamilyInfo& info = m.family_->info();
  m.link_ = info.links[0];
  if (!link.empty()) {
    const auto id = find_link(link);
    bool allowed = false;
    std::string names;
    for (LinkId l : info.links) {
      names += names.empty() ? "" : ", ";
      names += diag::format("'{}'", families::link(l).name);
      allowed = allowed || (id && *id == l);
    }
    if (!allowed) {
      return fail(GamError::invalid_parameter(diag::format(
          "the {} family has no link '{}'; its links are {}", info.name, link, names)));
    }
    m.link_ = *id;
  }
  if (parameters.size() != info.parameters.size()) {
    return fail(GamError::invalid_parameter(diag::format(
        "the {} family takes {} parameter(s), got {}", info.name, info.parameters.size(),
        parameters.size())));
  }
  for (std::size_t j = 0; j < parameters.size(); ++j) {
    const Parameter& p = info.parameters[j];
    // NaN stands for "estimate it"; anything else must lie in the open range.
    if (!std::isnan(parameters[j]) && !(parameters[j] > p.lower && parameters[j] < p.upper)) {
      return fail(GamError::invalid_parameter(diag::format(
          "{} must lie in ({}, {}) for the {} family, got {}", p.name, p.lower, p.upper,
          info.name, parameters[j])));
    }
  }
  m.parameters_ = std::move(parameters);
  return m;
}

std::size_t ResponseModel::first_outside_support(VectorView y) const {
  for (std::size_t i = 0; i < y.size; ++i)
    if (!family_->in_support(y[i])) return i;
  return y.size;
}

void ResponseModel::starting_eta(const double* y, const double* prior_weight, std::size_t count,
                                 double* eta) const {
  const Link& l = link();
  for (std::size_t i = 0; i < count; ++i) eta[i] = l.link(family_->starting_mean(y[i], prior_weight[i]));
}

}  // namespace velkan::families
