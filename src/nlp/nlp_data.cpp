#include "nlp/nlp_data.hpp"

namespace vornel {

NlpData::NlpData(int n_, int m_) : n(n_), m(m_), n_ref(n), m_ref(m), obj_value_ref(obj_value) {}

void NlpData::set_initial_values(double* x_, double* mult_g_, double* mult_x_L_,
                                 double* mult_x_U_) {
  x = x_;
  mult_g = mult_g_;
  mult_x_L = mult_x_L_;
  mult_x_U = mult_x_U_;
}

}  // namespace vornel
