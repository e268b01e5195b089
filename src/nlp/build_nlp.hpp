#pragma once

#include <IpTNLP.hpp>

#include <tuple>
#include <vector>

#include "nlp/callback_kinds.hpp"
#include "nlp/nlp_data.hpp"
#include "nlp/sparsity.hpp"

namespace vornel {

// Creates the adapter for exactly the kinds the six variants hold and
// returns it through both its bases. The caller hands the TNLP* to a
// SmartPtr, which owns the object from then on. Vectors and index pairs are
// moved from; the variants are only read.
std::tuple<Ipopt::TNLP*, NlpData*> build_nlp(FVariant& eval_f, GradFVariant& eval_grad_f,
                                             GVariant& eval_g, JacGVariant& eval_jac_g,
                                             SparsityIndices&& sparsity_indices_jac_g,
                                             HVariant& eval_h, SparsityIndices&& sparsity_indices_h,
                                             IntermediateCallbackVariant& intermediate_callback,
                                             std::vector<double>&& x_L, std::vector<double>&& x_U,
                                             std::vector<double>&& g_L, std::vector<double>&& g_U);

}  // namespace vornel
