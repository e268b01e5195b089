// The solver adapter: an Ipopt::TNLP over the problem record and one
// callback kind per routine, instantiated for every combination of kinds.
#pragma once

#include <Python.h>

#include <IpIpoptCalculatedQuantities.hpp>
#include <IpIpoptData.hpp>
#include <IpOrigIpoptNLP.hpp>
#include <IpTNLP.hpp>

#include <utility>
#include <vector>

#include "convert/gil.hpp"
#include "convert/thread_exit.hpp"
#include "nlp/callback_kinds.hpp"
#include "nlp/nlp_data.hpp"
#include "nlp/sparsity.hpp"

namespace vornel {

template <class F, class GradF, class G, class JacG, class H, class IntermediateCallback>
class NlpBase : public NlpData, public Ipopt::TNLP {
 public:
  using Index = Ipopt::Index;
  using Number = Ipopt::Number;

  NlpBase(std::vector<double>&& x_L_, std::vector<double>&& x_U_, std::vector<double>&& g_L_,
          std::vector<double>&& g_U_, SparsityIndices&& jac_g, SparsityIndices&& h, const F& f,
          const GradF& grad_f, const G& g_, const JacG& jac_g_cb, const H& h_cb,
          const IntermediateCallback& intermediate)
      : NlpData(static_cast<int>(x_L_.size()), static_cast<int>(g_L_.size())),
        x_L(std::move(x_L_)),
        x_U(std::move(x_U_)),
        g_L(std::move(g_L_)),
        g_U(std::move(g_U_)),
        sparsity_indices_jac_g(std::move(jac_g)),
        sparsity_indices_h(std::move(h)),
        nnz_jac_g(std::get<0>(sparsity_indices_jac_g).size()),
        nnz_h_lag(std::get<0>(sparsity_indices_h).size()),
        eval_f_cb(f),
        eval_grad_f_cb(grad_f),
        eval_g_cb(g_),
        eval_jac_g_cb(jac_g_cb),
        eval_h_cb(h_cb),
        intermediate_callback_cb(intermediate) {
    python_routines = is_python_kind<F> || is_python_kind<GradF> || is_python_kind<G> ||
                      is_python_kind<JacG> || is_python_kind<H> ||
                      is_python_kind<IntermediateCallback>;
    bind_contract(eval_grad_f_cb, out_contracts.grad_f);
    bind_contract(eval_g_cb, out_contracts.g);
    bind_contract(eval_jac_g_cb, out_contracts.jac_g);
    bind_contract(eval_h_cb, out_contracts.h);
  }

  bool get_nlp_info(Index& n_, Index& m_, Index& nnz_jac_g_, Index& nnz_h_lag_,
                    IndexStyleEnum& index_style) override {
    n_ = n;
    m_ = m;
    nnz_jac_g_ = static_cast<Index>(nnz_jac_g);
    nnz_h_lag_ = static_cast<Index>(nnz_h_lag);
    index_style = C_STYLE;
    return true;
  }

  bool get_bounds_info(Index n_, Number* x_l, Number* x_u, Index m_, Number* g_l,
                       Number* g_u) override {
    arr_copy(x_L.data(), x_l, static_cast<std::size_t>(n_));
    arr_copy(x_U.data(), x_u, static_cast<std::size_t>(n_));
    arr_copy(g_L.data(), g_l, static_cast<std::size_t>(m_));
    arr_copy(g_U.data(), g_u, static_cast<std::size_t>(m_));
    return true;
  }

  bool get_scaling_parameters(Number& obj_scaling_, bool& use_x_scaling, Index n_,
                              Number* x_scaling_, bool& use_g_scaling, Index m_,
                              Number* g_scaling_) override {
    obj_scaling_ = obj_scaling;
    use_x_scaling = !x_scaling.empty();
    if (use_x_scaling) arr_copy(x_scaling.data(), x_scaling_, static_cast<std::size_t>(n_));
    use_g_scaling = !g_scaling.empty();
    if (use_g_scaling) arr_copy(g_scaling.data(), g_scaling_, static_cast<std::size_t>(m_));
    return true;
  }

  bool get_starting_point(Index n_, bool init_x, Number* x_, bool init_z, Number* z_L, Number* z_U,
                          Index m_, bool init_lambda, Number* lambda) override {
    // The caller's arrays are Python objects that other threads may change.
    return with_gil([&] {
      return copy_starting_point(n_, init_x, x_, init_z, z_L, z_U, m_, init_lambda, lambda);
    });
  }

  bool eval_f(Index n_, const Number* x_, bool, Number& obj_value_) override {
    return run_callback<F>([&] { return eval_f_cb(n_, x_, obj_value_); });
  }

  bool eval_grad_f(Index n_, const Number* x_, bool, Number* grad_f) override {
    return run_callback<GradF>([&] { return eval_grad_f_cb(n_, x_, grad_f); });
  }

  bool eval_g(Index n_, const Number* x_, bool, Index m_, Number* g_) override {
    return run_callback<G>([&] { return eval_g_cb(n_, x_, m_, g_); });
  }

  bool eval_jac_g(Index n_, const Number* x_, bool, Index m_, Index nele_jac, Index* iRow,
                  Index* jCol, Number* values) override {
    if (values == nullptr) {
      copy_sparsity(sparsity_indices_jac_g, iRow, jCol);
      return true;
    }
    return run_callback<JacG>([&] {
      return eval_jac_g_cb(n_, x_, m_, nele_jac, values) && all_finite(values, nele_jac);
    });
  }

  bool eval_h(Index n_, const Number* x_, bool, Number obj_factor, Index m_, const Number* lambda,
              bool, Index nele_hess, Index* iRow, Index* jCol, Number* values) override {
    if (values == nullptr) {
      copy_sparsity(sparsity_indices_h, iRow, jCol);
      return true;
    }
    return run_callback<H>([&] {
      return eval_h_cb(n_, x_, obj_factor, m_, lambda, nele_hess, values) &&
             all_finite(values, nele_hess);
    });
  }

  void finalize_solution(Ipopt::SolverReturn status, Index n_, const Number* x_, const Number* z_L,
                         const Number* z_U, Index m_, const Number* g_, const Number* lambda,
                         Number obj_value_, const Ipopt::IpoptData* ip_data,
                         Ipopt::IpoptCalculatedQuantities* ip_cq) override {
    // The results reach Python objects (the caller's arrays, the record
    // that Problem.result and stats read) under the interpreter lock.
    with_gil([&] {
      store_solution(status, n_, x_, z_L, z_U, m_, g_, lambda, obj_value_, ip_data, ip_cq);
      return true;
    });
  }

  // Besides the user's routine, this is where a run is stopped on behalf of
  // Python: at a pending exception (an evaluation callback failed, or a
  // signal handler such as Ctrl-C's raised), so that solve() raises it
  // within one iteration.
  bool intermediate_callback(Ipopt::AlgorithmMode mode, Index iter, Number obj_value_,
                             Number inf_pr, Number inf_du, Number mu, Number d_norm,
                             Number regularization_size, Number alpha_du, Number alpha_pr,
                             Index ls_trials, const Ipopt::IpoptData* ip_data,
                             Ipopt::IpoptCalculatedQuantities* ip_cq) override {
    if (python_each_iteration && !python_lets_run_go_on()) return false;
    if constexpr (is_python_kind<IntermediateCallback>) {
      return with_gil([&] {
        const IterateScope scope(iterate, ip_data, ip_cq);
        const bool go_on = intermediate_callback_cb(mode, iter, obj_value_, inf_pr, inf_du, mu,
                                                    d_norm, regularization_size, alpha_du, alpha_pr,
                                                    ls_trials, ip_data, ip_cq);
        return go_on && PyErr_Occurred() == nullptr;
      });
    } else {
      return solver_boundary([&] {
        return intermediate_callback_cb(mode, iter, obj_value_, inf_pr, inf_du, mu, d_norm,
                                        regularization_size, alpha_du, alpha_pr, ls_trials, ip_data,
                                        ip_cq);
      });
    }
  }

  std::vector<double> x_L;
  std::vector<double> x_U;
  std::vector<double> g_L;
  std::vector<double> g_U;
  SparsityIndices sparsity_indices_jac_g;
  SparsityIndices sparsity_indices_h;
  std::size_t nnz_jac_g;
  std::size_t nnz_h_lag;
  F eval_f_cb;
  GradF eval_grad_f_cb;
  G eval_g_cb;
  JacG eval_jac_g_cb;
  H eval_h_cb;
  IntermediateCallback intermediate_callback_cb;

 private:
  bool copy_starting_point(Index n_, bool init_x, Number* x_, bool init_z, Number* z_L, Number* z_U,
                           Index m_, bool init_lambda, Number* lambda) {
    if (!buffers_usable(false)) return false;
    const auto n_size = static_cast<std::size_t>(n_);
    if (init_x) arr_copy(x, x_, n_size);
    if (init_z) {
      if (mult_x_L != nullptr) arr_copy(mult_x_L, z_L, n_size);
      if (mult_x_U != nullptr) arr_copy(mult_x_U, z_U, n_size);
    }
    if (init_lambda && mult_g != nullptr) arr_copy(mult_g, lambda, static_cast<std::size_t>(m_));
    const bool z_served = !init_z || (mult_x_L != nullptr && mult_x_U != nullptr);
    const bool lambda_served = !init_lambda || mult_g != nullptr;
    return z_served && lambda_served;
  }

  void store_solution(Ipopt::SolverReturn status, Index n_, const Number* x_, const Number* z_L,
                      const Number* z_U, Index m_, const Number* g_, const Number* lambda,
                      Number obj_value_, const Ipopt::IpoptData* ip_data,
                      Ipopt::IpoptCalculatedQuantities* ip_cq) {
    // An array that is no longer the memory bound receives nothing, and
    // neither do the others: solve() raises instead of returning results.
    if (buffers_usable(true)) {
      const auto n_size = static_cast<std::size_t>(n_);
      const auto m_size = static_cast<std::size_t>(m_);
      if (x != nullptr) arr_copy(x_, x, n_size);
      if (mult_x_L != nullptr) arr_copy(z_L, mult_x_L, n_size);
      if (mult_x_U != nullptr) arr_copy(z_U, mult_x_U, n_size);
      if (g != nullptr) arr_copy(g_, g, m_size);
      if (mult_g != nullptr) arr_copy(lambda, mult_g, m_size);
    }
    obj_value = obj_value_;
    store_statistics(ip_data, ip_cq);
    // A run that a failed evaluation ended has no derivatives at its last
    // point, and Ipopt's quantities there (which its own summary leaves out)
    // would be computed from matrices never filled: the measures stay NaN.
    const bool evaluated = status != Ipopt::INVALID_NUMBER_DETECTED;
    last_solve.finish(n_, x_, z_L, z_U, m_, g_, lambda, obj_value_, ip_data,
                      evaluated ? ip_cq : nullptr);
  }

  // A failed evaluation that leaves no exception pending is one the solver
  // recovers from (it cuts the step); it is counted.
  template <class Kind, class Call>
  bool run_callback(Call&& call) {
    if constexpr (is_python_kind<Kind>) {
      return with_gil([&] {
        const bool ok = call();
        if (!ok && PyErr_Occurred() == nullptr) ++evaluation_errors;
        return ok;
      });
    } else {
      const bool ok = solver_boundary(std::forward<Call>(call));
      if (!ok) ++evaluation_errors;
      return ok;
    }
  }

  // No exception is pending and no signal handler raised one.
  static bool python_lets_run_go_on() {
    return with_gil([] { return PyErr_Occurred() == nullptr && PyErr_CheckSignals() == 0; });
  }

  void store_statistics(const Ipopt::IpoptData* ip_data, Ipopt::IpoptCalculatedQuantities* ip_cq) {
    if (ip_cq == nullptr) return;
    auto* nlp = dynamic_cast<Ipopt::OrigIpoptNLP*>(Ipopt::GetRawPtr(ip_cq->GetIpoptNLP()));
    if (nlp == nullptr) return;
    n_eval_f = nlp->f_evals();
    n_eval_grad_f = nlp->grad_f_evals();
    n_eval_g_eq = nlp->c_evals();
    n_eval_jac_g_eq = nlp->jac_c_evals();
    n_eval_g_ineq = nlp->d_evals();
    n_eval_jac_g_ineq = nlp->jac_d_evals();
    n_eval_h = nlp->h_evals();
    if (ip_data != nullptr) n_iter = ip_data->iter_count();
  }
};

}  // namespace vornel
