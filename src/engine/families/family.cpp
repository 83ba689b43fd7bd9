#include "engine/families/family.h"

#include <array>
#include <cmath>
#include <limits>

#include "diag/format.h"
#include "engine/families/jet.h"

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

void Family::newton(const ResponseModel& model, const RowsIn& in, const NewtonRowsOut& out,
                    int order) const {
  const Link& link = model.link();
  const auto params = model.parameters();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < in.count; ++i) {
    const double eta = in.eta[i], pw = in.prior_weight[i];
    const double mu = link.inverse(eta);
    if (!valid_mean(mu)) {
      out.score[i] = out.weight[i] = nan;
      if (order >= 1) out.dweight[i] = nan;
      if (order >= 2) out.d2weight[i] = nan;
      continue;
    }
    // Jets in eta: mu to its fourth derivative, so that the score g = (y - mu) mu' / V,
    // which holds one derivative of mu, is known to its third, and w = -dg/deta with its
    // first two derivatives follow.
    double dmu[kLinkDerivatives];
    link.derivatives(eta, dmu);
    const Jet<4> mu4 = Jet<4>::from_derivatives(mu, dmu);
    const Jet<3> slope = mu4.differentiated();
    Jet<3> mu3;
    for (std::size_t k = 0; k <= 3; ++k) mu3.c[k] = mu4.c[k];
    double dv[3];
    variance_derivatives(mu, params, dv);
    const Jet<3> v = compose(mu3, variance(mu, params), dv);
    const Jet<3> g = (Jet<3>::constant(in.y[i]) - mu3) * slope / v;
    out.score[i] = pw * g.derivative(0);
    out.weight[i] = -pw * g.derivative(1);
    if (order >= 1) out.dweight[i] = -pw * g.derivative(2);
    if (order >= 2) out.d2weight[i] = -pw * g.derivative(3);
  }
}

void Family::parameter_rows(const ResponseModel&, const RowsIn& in,
                            const ParameterRowsOut& out) const {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < in.count; ++i) {
    for (double* a : {out.loglik, out.l1, out.l2, out.g1, out.g2, out.w1, out.w2, out.w_eta}) {
      a[i] = nan;
    }
  }
}

void Family::profile_rows(const ResponseModel&, const RowsIn& in, double,
                          const ProfileRowsOut& out) const {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 0; i < in.count; ++i) out.log_density[i] = out.d1[i] = out.d2[i] = nan;
}

int ResponseModel::criterion_parameter() const {
  const auto& ps = info().parameters;
  for (std::size_t j = 0; j < ps.size(); ++j) {
    if (ps[j].estimation == ParameterEstimation::Criterion && std::isnan(parameters_[j])) {
      return static_cast<int>(j);
    }
  }
  return -1;
}

Result<ResponseModel> ResponseModel::with_parameters(std::vector<double> values) const {
  return create(info().name, link().name, std::move(values));
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
  return family_->first_outside_support(y);
}

void ResponseModel::starting_eta(const double* y, const double* prior_weight, std::size_t count,
                                 double* eta) const {
  const Link& l = link();
  // A start the link cannot represent (a gaussian response at or below zero under the log
  // link) keeps the caller's value (the intercept's start level).
  for (std::size_t i = 0; i < count; ++i) {
    const double e = l.link(family_->starting_mean(y[i], prior_weight[i]));
    if (std::isfinite(e)) eta[i] = e;
  }
}

double log_factorial(double y) {
  constexpr std::size_t kTable = 256;
  static const auto table = [] {
    std::array<double, kTable> t{};
    for (std::size_t k = 0; k < kTable; ++k) t[k] = log_gamma(static_cast<double>(k) + 1.0);
    return t;
  }();
  if (y >= 0.0 && y < static_cast<double>(kTable)) {
    const auto k = static_cast<std::size_t>(y);
    if (static_cast<double>(k) == y) return table[k];
  }
  return log_gamma(y + 1.0);
}

}  // namespace velkan::families
