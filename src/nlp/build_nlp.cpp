#include "nlp/build_nlp.hpp"

#include <utility>
#include <variant>

#include "nlp/nlp_base.hpp"

namespace vornel {

std::tuple<Ipopt::TNLP*, NlpData*> build_nlp(FVariant& eval_f, GradFVariant& eval_grad_f,
                                             GVariant& eval_g, JacGVariant& eval_jac_g,
                                             SparsityIndices&& sparsity_indices_jac_g,
                                             HVariant& eval_h, SparsityIndices&& sparsity_indices_h,
                                             IntermediateCallbackVariant& intermediate_callback,
                                             std::vector<double>&& x_L, std::vector<double>&& x_U,
                                             std::vector<double>&& g_L, std::vector<double>&& g_U) {
  // The joint visit picks the instantiation once; afterwards every solver
  // call goes straight to the kind's call operator.
  return std::visit(
      [&](const auto& f, const auto& grad_f, const auto& g, const auto& jac_g, const auto& h,
          const auto& intermediate) -> std::tuple<Ipopt::TNLP*, NlpData*> {
        using Nlp = NlpBase<std::decay_t<decltype(f)>, std::decay_t<decltype(grad_f)>,
                            std::decay_t<decltype(g)>, std::decay_t<decltype(jac_g)>,
                            std::decay_t<decltype(h)>, std::decay_t<decltype(intermediate)>>;
        auto* nlp = new Nlp(std::move(x_L), std::move(x_U), std::move(g_L), std::move(g_U),
                            std::move(sparsity_indices_jac_g), std::move(sparsity_indices_h), f,
                            grad_f, g, jac_g, h, intermediate);
        return {nlp, nlp};
      },
      eval_f, eval_grad_f, eval_g, eval_jac_g, eval_h, intermediate_callback);
}

}  // namespace vornel
