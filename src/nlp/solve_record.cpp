#include "nlp/solve_record.hpp"

#include <Python.h>

#include <IpIpoptCalculatedQuantities.hpp>
#include <IpIpoptData.hpp>

#include <cxxabi.h>

#include <ctime>
#include <limits>

namespace vornel {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

void assign(std::vector<double>& to, const double* from, int length) {
  if (from == nullptr) {
    to.assign(static_cast<std::size_t>(length), nan);
  } else {
    to.assign(from, from + length);
  }
}

// The measures Ipopt's own summary prints, unscaled. Computing them may
// evaluate callbacks when the last point was never evaluated; after a
// failed callback (a Python error is pending) nothing is evaluated, and a
// failing evaluation leaves NaN.
void store_measures(SolveRecord& record, Ipopt::IpoptCalculatedQuantities* ip_cq) {
  if (ip_cq == nullptr || PyErr_Occurred() != nullptr) return;
  try {
    record.primal_infeasibility = ip_cq->unscaled_curr_nlp_constraint_violation(Ipopt::NORM_MAX);
    record.dual_infeasibility = ip_cq->unscaled_curr_dual_infeasibility(Ipopt::NORM_MAX);
    record.complementarity = ip_cq->unscaled_curr_complementarity(0.0, Ipopt::NORM_MAX);
  } catch (abi::__forced_unwind&) {
    throw;  // a thread that ends (pthread_exit) must unwind
  } catch (...) {
    record.primal_infeasibility = record.dual_infeasibility = record.complementarity = nan;
  }
}

}  // namespace

void SolveRecord::begin(const double* x0, int n, int m) {
  present = true;
  finalized = false;
  status = 0;
  assign(x, x0, n);
  assign(g, nullptr, m);
  assign(mult_g, nullptr, m);
  assign(mult_x_L, nullptr, n);
  assign(mult_x_U, nullptr, n);
  obj_value = nan;
  iterations = -1;
  evaluation_errors = 0;
  primal_infeasibility = dual_infeasibility = complementarity = nan;
  wall_time = cpu_time = 0.0;
}

void SolveRecord::finish(int n, const double* x_, const double* z_L, const double* z_U, int m,
                         const double* g_, const double* lambda, double obj_value_,
                         const Ipopt::IpoptData* ip_data, Ipopt::IpoptCalculatedQuantities* ip_cq) {
  finalized = true;
  assign(x, x_, n);
  assign(g, g_, m);
  assign(mult_g, lambda, m);
  assign(mult_x_L, z_L, n);
  assign(mult_x_U, z_U, n);
  obj_value = obj_value_;
  if (ip_data != nullptr) iterations = ip_data->iter_count();
  store_measures(*this, ip_cq);
}

void SolveClock::stop(SolveRecord& record) const {
  record.wall_time =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
  record.cpu_time = thread_cpu_seconds() - cpu_;
}

double SolveClock::thread_cpu_seconds() {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0.0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace vornel
