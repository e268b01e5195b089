// What the latest solve leaves for the Python layer: copies of the final
// iterate taken once at its end, and the solver's state while the
// per-iteration callback runs.
#pragma once

#include <chrono>
#include <ctime>
#include <vector>

namespace Ipopt {
class IpoptData;
class IpoptCalculatedQuantities;
}  // namespace Ipopt

namespace vornel {

struct SolveRecord {
  // False until the first solve has run.
  bool present = false;
  // Whether the solver reached finalize_solution; otherwise x holds the
  // starting point and the other values are NaN or -1.
  bool finalized = false;
  int status = 0;
  std::vector<double> x;
  std::vector<double> g;
  std::vector<double> mult_g;
  std::vector<double> mult_x_L;
  std::vector<double> mult_x_U;
  double obj_value = 0.0;
  int iterations = -1;
  int evaluation_errors = 0;
  double primal_infeasibility = 0.0;
  double dual_infeasibility = 0.0;
  double complementarity = 0.0;
  double wall_time = 0.0;
  double cpu_time = 0.0;

  // Starts a solve from the point x0 of length n (m constraints).
  void begin(const double* x0, int n, int m);
  // The solver's final iterate, in the caller's order and unscaled.
  void finish(int n, const double* x_, const double* z_L, const double* z_U, int m,
              const double* g_, const double* lambda, double obj_value_,
              const Ipopt::IpoptData* ip_data, Ipopt::IpoptCalculatedQuantities* ip_cq);
};

// Wall and CPU time of one solve, from construction to stop().
// The CPU time is the calling thread's: solves in other threads must not
// count (the solver and its linear algebra run on this thread).
class SolveClock {
 public:
  SolveClock() : wall_(std::chrono::steady_clock::now()), cpu_(thread_cpu_seconds()) {}
  void stop(SolveRecord& record) const;

 private:
  static double thread_cpu_seconds();

  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

// The solver's data while the per-iteration callback runs; null otherwise.
struct IterateView {
  const Ipopt::IpoptData* ip_data = nullptr;
  Ipopt::IpoptCalculatedQuantities* ip_cq = nullptr;
  explicit operator bool() const { return ip_data != nullptr && ip_cq != nullptr; }
};

// Publishes the solver's data for the duration of one callback.
class IterateScope {
 public:
  IterateScope(IterateView& view, const Ipopt::IpoptData* ip_data,
               Ipopt::IpoptCalculatedQuantities* ip_cq)
      : view_(view), saved_(view) {
    view_.ip_data = ip_data;
    view_.ip_cq = ip_cq;
  }
  IterateScope(const IterateScope&) = delete;
  IterateScope& operator=(const IterateScope&) = delete;
  ~IterateScope() { view_ = saved_; }

 private:
  IterateView& view_;
  IterateView saved_;
};

}  // namespace vornel
