// The native baseline: each benchmark problem as a hand-written
// Ipopt::TNLP, calling the same C functions that the compiled-callback form
// hands to vornel. Run as `native PROBLEM N [OPTION=VALUE ...]`; prints one
// JSON line with the result, the solve's wall time and the peak RSS.
#include <IpIpoptApplication.hpp>
#include <IpIpoptCalculatedQuantities.hpp>
#include <IpIpoptData.hpp>
#include <IpOrigIpoptNLP.hpp>
#include <IpTNLP.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "../compiled/problems.h"

using Ipopt::Index;
using Ipopt::Number;

namespace {

constexpr Number kInf = 2.0e19;

// What every problem reports back: kept outside the TNLP so that main can
// read it after Ipopt has released the problem.
struct Outcome {
  Number obj = 0.0;
  Index iter = -1;
  Index n_f = -1, n_grad_f = -1, n_g = -1, n_jac_g = -1, n_h = -1;
  int status = -1;
};

class Reporting : public Ipopt::TNLP {
 public:
  explicit Reporting(Outcome& outcome) : outcome_(outcome) {}
  void finalize_solution(Ipopt::SolverReturn status, Index, const Number*, const Number*,
                         const Number*, Index, const Number*, const Number*, Number obj_value,
                         const Ipopt::IpoptData* ip_data,
                         Ipopt::IpoptCalculatedQuantities* ip_cq) override {
    outcome_.obj = obj_value;
    outcome_.status = static_cast<int>(status);
    if (ip_data != nullptr) outcome_.iter = ip_data->iter_count();
    auto* nlp = ip_cq == nullptr
                    ? nullptr
                    : dynamic_cast<Ipopt::OrigIpoptNLP*>(Ipopt::GetRawPtr(ip_cq->GetIpoptNLP()));
    if (nlp != nullptr) {
      outcome_.n_f = nlp->f_evals();
      outcome_.n_grad_f = nlp->grad_f_evals();
      outcome_.n_g = nlp->c_evals() + nlp->d_evals();
      outcome_.n_jac_g = nlp->jac_c_evals() + nlp->jac_d_evals();
      outcome_.n_h = nlp->h_evals();
    }
  }

 private:
  Outcome& outcome_;
};

class Hs071 : public Reporting {
 public:
  using Reporting::Reporting;
  bool get_nlp_info(Index& n, Index& m, Index& nnz_jac_g, Index& nnz_h_lag,
                    IndexStyleEnum& index_style) override {
    n = 4;
    m = 2;
    nnz_jac_g = 8;
    nnz_h_lag = 10;
    index_style = C_STYLE;
    return true;
  }
  bool get_bounds_info(Index n, Number* x_l, Number* x_u, Index, Number* g_l,
                       Number* g_u) override {
    for (Index i = 0; i < n; ++i) x_l[i] = 1.0, x_u[i] = 5.0;
    g_l[0] = 25.0, g_u[0] = kInf;
    g_l[1] = g_u[1] = 40.0;
    return true;
  }
  bool get_starting_point(Index, bool, Number* x, bool, Number*, Number*, Index, bool,
                          Number*) override {
    x[0] = 1.0, x[1] = 5.0, x[2] = 5.0, x[3] = 1.0;
    return true;
  }
  bool eval_f(Index n, const Number* x, bool, Number& obj) override {
    return hs071_f(n, x, &obj, nullptr);
  }
  bool eval_grad_f(Index n, const Number* x, bool, Number* out) override {
    return hs071_grad_f(n, x, out, nullptr);
  }
  bool eval_g(Index n, const Number* x, bool, Index m, Number* out) override {
    return hs071_g(n, x, m, out, nullptr);
  }
  bool eval_jac_g(Index n, const Number* x, bool, Index m, Index nele, Index* iRow, Index* jCol,
                  Number* values) override {
    if (values == nullptr) {
      for (Index k = 0; k < 8; ++k) iRow[k] = k / 4, jCol[k] = k % 4;
      return true;
    }
    return hs071_jac_g(n, x, m, nele, values, nullptr);
  }
  bool eval_h(Index n, const Number* x, bool, Number of, Index m, const Number* lambda, bool,
              Index nele, Index* iRow, Index* jCol, Number* values) override {
    if (values == nullptr) {
      for (Index r = 0, k = 0; r < 4; ++r)
        for (Index c = 0; c <= r; ++c, ++k) iRow[k] = r, jCol[k] = c;
      return true;
    }
    return hs071_h(n, x, of, m, lambda, nele, values, nullptr);
  }
};

class ExtendedRosenbrock : public Reporting {
 public:
  ExtendedRosenbrock(Outcome& outcome, Index n) : Reporting(outcome), n_(n) {}
  bool get_nlp_info(Index& n, Index& m, Index& nnz_jac_g, Index& nnz_h_lag,
                    IndexStyleEnum& index_style) override {
    n = n_;
    m = 0;
    nnz_jac_g = 0;
    nnz_h_lag = 3 * (n_ / 2);
    index_style = C_STYLE;
    return true;
  }
  bool get_bounds_info(Index n, Number* x_l, Number* x_u, Index, Number*, Number*) override {
    for (Index i = 0; i < n; ++i) x_l[i] = -kInf, x_u[i] = kInf;
    return true;
  }
  bool get_starting_point(Index n, bool, Number* x, bool, Number*, Number*, Index, bool,
                          Number*) override {
    for (Index i = 0; i < n; ++i) x[i] = i % 2 == 0 ? -1.2 : 1.0;
    return true;
  }
  bool eval_f(Index n, const Number* x, bool, Number& obj) override {
    return rosen_f(n, x, &obj, &params_);
  }
  bool eval_grad_f(Index n, const Number* x, bool, Number* out) override {
    return rosen_grad_f(n, x, out, &params_);
  }
  bool eval_g(Index n, const Number* x, bool, Index m, Number* out) override {
    return rosen_g(n, x, m, out, &params_);
  }
  bool eval_jac_g(Index n, const Number* x, bool, Index m, Index nele, Index*, Index*,
                  Number* values) override {
    if (values == nullptr) return true;
    return rosen_jac_g(n, x, m, nele, values, &params_);
  }
  bool eval_h(Index n, const Number* x, bool, Number of, Index m, const Number* lambda, bool,
              Index nele, Index* iRow, Index* jCol, Number* values) override {
    if (values == nullptr) {
      for (Index i = 0, k = 0; i + 1 < n; i += 2, k += 3) {
        iRow[k] = i, jCol[k] = i;
        iRow[k + 1] = i + 1, jCol[k + 1] = i;
        iRow[k + 2] = i + 1, jCol[k + 2] = i + 1;
      }
      return true;
    }
    return rosen_h(n, x, of, m, lambda, nele, values, &params_);
  }

 private:
  Index n_;
  bench_params params_{100.0};
};

class ChainedRosenbrockTrigExp : public Reporting {
 public:
  ChainedRosenbrockTrigExp(Outcome& outcome, Index n) : Reporting(outcome), n_(n) {}
  bool get_nlp_info(Index& n, Index& m, Index& nnz_jac_g, Index& nnz_h_lag,
                    IndexStyleEnum& index_style) override {
    n = n_;
    m = n_ - 2;
    nnz_jac_g = 3 * (n_ - 2);
    nnz_h_lag = 2 * n_ - 1;
    index_style = C_STYLE;
    return true;
  }
  bool get_bounds_info(Index n, Number* x_l, Number* x_u, Index m, Number* g_l,
                       Number* g_u) override {
    for (Index i = 0; i < n; ++i) x_l[i] = -kInf, x_u[i] = kInf;
    for (Index k = 0; k < m; ++k) g_l[k] = g_u[k] = 0.0;
    return true;
  }
  bool get_starting_point(Index n, bool, Number* x, bool, Number*, Number*, Index, bool,
                          Number*) override {
    for (Index i = 0; i < n; ++i) x[i] = i % 2 == 0 ? -1.2 : 1.0;
    return true;
  }
  bool eval_f(Index n, const Number* x, bool, Number& obj) override {
    return chained_f(n, x, &obj, &params_);
  }
  bool eval_grad_f(Index n, const Number* x, bool, Number* out) override {
    return chained_grad_f(n, x, out, &params_);
  }
  bool eval_g(Index n, const Number* x, bool, Index m, Number* out) override {
    return chained_g(n, x, m, out, &params_);
  }
  bool eval_jac_g(Index n, const Number* x, bool, Index m, Index nele, Index* iRow, Index* jCol,
                  Number* values) override {
    if (values == nullptr) {
      for (Index k = 0; k < m; ++k)
        for (Index j = 0; j < 3; ++j) iRow[3 * k + j] = k, jCol[3 * k + j] = k + j;
      return true;
    }
    return chained_jac_g(n, x, m, nele, values, &params_);
  }
  bool eval_h(Index n, const Number* x, bool, Number of, Index m, const Number* lambda, bool,
              Index nele, Index* iRow, Index* jCol, Number* values) override {
    if (values == nullptr) {
      for (Index i = 0; i < n; ++i) iRow[i] = i, jCol[i] = i;
      for (Index i = 0; i + 1 < n; ++i) iRow[n + i] = i + 1, jCol[n + i] = i;
      return true;
    }
    return chained_h(n, x, of, m, lambda, nele, values, &params_);
  }

 private:
  Index n_;
  bench_params params_{100.0};
};

class Car : public Reporting {
 public:
  Car(Outcome& outcome, Index n) : Reporting(outcome), nodes_(n / CAR_VARS) {}
  bool get_nlp_info(Index& n, Index& m, Index& nnz_jac_g, Index& nnz_h_lag,
                    IndexStyleEnum& index_style) override {
    const Index intervals = nodes_ - 1;
    n = CAR_VARS * nodes_;
    m = 4 * intervals + CAR_OBSTACLES * nodes_;
    nnz_jac_g = 14 * intervals + 2 * CAR_OBSTACLES * nodes_;
    nnz_h_lag = 6 * nodes_;
    index_style = C_STYLE;
    return true;
  }
  bool get_bounds_info(Index n, Number* x_l, Number* x_u, Index m, Number* g_l,
                       Number* g_u) override {
    static const Number lower[CAR_VARS] = {-kInf, -kInf, -kInf, 0.0, -2.0, -1.5};
    static const Number upper[CAR_VARS] = {kInf, kInf, kInf, 3.0, 2.0, 1.5};
    static const Number start[4] = {0.0, 0.0, 0.0, 0.0};
    static const Number goal[4] = {10.0, 0.0, 0.0, 0.0};
    for (Index i = 0; i < n; ++i) x_l[i] = lower[i % CAR_VARS], x_u[i] = upper[i % CAR_VARS];
    for (Index i = 0; i < 4; ++i) {
      x_l[i] = x_u[i] = start[i];
      x_l[n - CAR_VARS + i] = x_u[n - CAR_VARS + i] = goal[i];
    }
    const Index dynamics = 4 * (nodes_ - 1);
    for (Index r = 0; r < dynamics; ++r) g_l[r] = g_u[r] = 0.0;
    for (Index r = dynamics; r < m; ++r) {
      const Number radius = car_obstacle[(r - dynamics) % CAR_OBSTACLES][2];
      g_l[r] = radius * radius, g_u[r] = kInf;
    }
    return true;
  }
  // A straight run at constant speed, through the obstacles.
  bool get_starting_point(Index n, bool, Number* x, bool, Number*, Number*, Index, bool,
                          Number*) override {
    for (Index i = 0; i < n; ++i) x[i] = 0.0;
    for (Index k = 0; k < nodes_; ++k) {
      x[CAR_VARS * k] = k * (10.0 / (nodes_ - 1));  // as NumPy's linspace
      x[CAR_VARS * k + 3] = 1.0;
    }
    return true;
  }
  bool eval_f(Index n, const Number* x, bool, Number& obj) override {
    return car_f(n, x, &obj, nullptr);
  }
  bool eval_grad_f(Index n, const Number* x, bool, Number* out) override {
    return car_grad_f(n, x, out, nullptr);
  }
  bool eval_g(Index n, const Number* x, bool, Index m, Number* out) override {
    return car_g(n, x, m, out, nullptr);
  }
  bool eval_jac_g(Index n, const Number* x, bool, Index m, Index nele, Index* iRow, Index* jCol,
                  Number* values) override {
    if (values != nullptr) return car_jac_g(n, x, m, nele, values, nullptr);
    static const Index rows[14] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 3, 3, 3};
    static const Index cols[14] = {0, 2, 3, 6, 1, 2, 3, 7, 2, 5, 8, 3, 4, 9};
    Index e = 0;
    for (Index k = 0; k + 1 < nodes_; ++k)
      for (Index j = 0; j < 14; ++j, ++e) iRow[e] = 4 * k + rows[j], jCol[e] = 6 * k + cols[j];
    const Index dynamics = 4 * (nodes_ - 1);
    for (Index k = 0; k < nodes_; ++k)
      for (Index j = 0; j < CAR_OBSTACLES; ++j, e += 2) {
        iRow[e] = iRow[e + 1] = dynamics + CAR_OBSTACLES * k + j;
        jCol[e] = 6 * k, jCol[e + 1] = 6 * k + 1;
      }
    return true;
  }
  bool eval_h(Index n, const Number* x, bool, Number of, Index m, const Number* lambda, bool,
              Index nele, Index* iRow, Index* jCol, Number* values) override {
    if (values != nullptr) return car_h(n, x, of, m, lambda, nele, values, nullptr);
    static const Index rows[6] = {0, 1, 2, 3, 4, 5};
    static const Index cols[6] = {0, 1, 2, 2, 4, 5};
    for (Index k = 0, e = 0; k < nodes_; ++k)
      for (Index j = 0; j < 6; ++j, ++e) iRow[e] = 6 * k + rows[j], jCol[e] = 6 * k + cols[j];
    return true;
  }

 private:
  Index nodes_;
};

// Options given as NAME=VALUE: the value's form picks Ipopt's setter, as
// the Python types do in vornel (integer, number with a point or exponent,
// otherwise text).
void set_option(Ipopt::IpoptApplication& app, const char* arg) {
  const char* eq = std::strchr(arg, '=');
  if (eq == nullptr) return;
  const std::string name(arg, eq);
  const std::string value(eq + 1);
  char* end = nullptr;
  const long as_int = std::strtol(value.c_str(), &end, 10);
  if (!value.empty() && *end == '\0') {
    app.Options()->SetIntegerValue(name, static_cast<Index>(as_int));
    return;
  }
  const double as_double = std::strtod(value.c_str(), &end);
  if (!value.empty() && *end == '\0') {
    app.Options()->SetNumericValue(name, as_double);
    return;
  }
  app.Options()->SetStringValue(name, value);
}

// The peak RSS of this program image: getrusage's maxrss would carry over
// the parent's peak across fork and exec.
long peak_rss_kb() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  return kb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s hs071|rosenbrock|chained|car N [OPTION=VALUE ...]\n", argv[0]);
    return 2;
  }
  const std::string problem = argv[1];
  const Index n = static_cast<Index>(std::atol(argv[2]));
  Outcome outcome;
  Ipopt::SmartPtr<Ipopt::TNLP> nlp;
  if (problem == "hs071") {
    nlp = new Hs071(outcome);
  } else if (problem == "rosenbrock") {
    nlp = new ExtendedRosenbrock(outcome, n);
  } else if (problem == "chained") {
    nlp = new ChainedRosenbrockTrigExp(outcome, n);
  } else if (problem == "car") {
    nlp = new Car(outcome, n);
  } else {
    std::fprintf(stderr, "unknown problem %s\n", problem.c_str());
    return 2;
  }
  // Set up as vornel sets up its application: no options file, no
  // Initialize().
  Ipopt::SmartPtr<Ipopt::IpoptApplication> app = IpoptApplicationFactory();
  for (int i = 3; i < argc; ++i) set_option(*app, argv[i]);
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  const Ipopt::ApplicationReturnStatus status = app->OptimizeTNLP(nlp);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  std::printf(
      "{\"status\": %d, \"iter\": %d, \"obj\": %.17g, \"time\": %.9g, \"cpu\": %.9g, "
      "\"maxrss_kb\": %ld, "
      "\"n_eval_f\": %d, \"n_eval_grad_f\": %d, \"n_eval_g\": %d, \"n_eval_jac_g\": %d, "
      "\"n_eval_h\": %d}\n",
      static_cast<int>(status), outcome.iter, outcome.obj, seconds, cpu_seconds, peak_rss_kb(),
      outcome.n_f, outcome.n_grad_f, outcome.n_g, outcome.n_jac_g, outcome.n_h);
  return 0;
}
