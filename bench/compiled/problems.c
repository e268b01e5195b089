#include "problems.h"

#include <math.h>

/* Hock-Schittkowski 71: n = 4, m = 2. */

bool hs071_f(int n, const double* x, double* obj, void* ud) {
  (void)n, (void)ud;
  *obj = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
  return true;
}

bool hs071_grad_f(int n, const double* x, double* out, void* ud) {
  (void)n, (void)ud;
  out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2]);
  out[1] = x[0] * x[3];
  out[2] = x[0] * x[3] + 1.0;
  out[3] = x[0] * (x[0] + x[1] + x[2]);
  return true;
}

bool hs071_g(int n, const double* x, int m, double* out, void* ud) {
  (void)n, (void)m, (void)ud;
  out[0] = x[0] * x[1] * x[2] * x[3];
  out[1] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3];
  return true;
}

bool hs071_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)n, (void)m, (void)nele, (void)ud;
  out[0] = x[1] * x[2] * x[3];
  out[1] = x[0] * x[2] * x[3];
  out[2] = x[0] * x[1] * x[3];
  out[3] = x[0] * x[1] * x[2];
  out[4] = 2.0 * x[0];
  out[5] = 2.0 * x[1];
  out[6] = 2.0 * x[2];
  out[7] = 2.0 * x[3];
  return true;
}

/* Lower triangle, row by row. */
bool hs071_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
             void* ud) {
  (void)n, (void)m, (void)nele, (void)ud;
  out[0] = of * 2 * x[3] + l[1] * 2;
  out[1] = of * x[3] + l[0] * x[2] * x[3];
  out[2] = l[1] * 2;
  out[3] = of * x[3] + l[0] * x[1] * x[3];
  out[4] = l[0] * x[0] * x[3];
  out[5] = l[1] * 2;
  out[6] = of * (2 * x[0] + x[1] + x[2]) + l[0] * x[1] * x[2];
  out[7] = of * x[0] + l[0] * x[0] * x[2];
  out[8] = of * x[0] + l[0] * x[0] * x[1];
  out[9] = l[1] * 2;
  return true;
}

/* Extended Rosenbrock: n even, sum over the n/2 pairs (x[2i], x[2i+1]) of
 * alpha (x[2i+1] - x[2i]^2)^2 + (1 - x[2i])^2; m = 0. The Hessian is block
 * diagonal; its lower triangle is stored per pair as (2i,2i), (2i+1,2i),
 * (2i+1,2i+1). */

bool rosen_f(int n, const double* x, double* obj, void* ud) {
  const double a = ((const struct bench_params*)ud)->alpha;
  double s = 0.0;
  for (int i = 0; i + 1 < n; i += 2) {
    const double t = x[i + 1] - x[i] * x[i];
    const double u = 1.0 - x[i];
    s += a * t * t + u * u;
  }
  *obj = s;
  return true;
}

bool rosen_grad_f(int n, const double* x, double* out, void* ud) {
  const double a = ((const struct bench_params*)ud)->alpha;
  for (int i = 0; i + 1 < n; i += 2) {
    const double t = x[i + 1] - x[i] * x[i];
    out[i] = -4.0 * a * x[i] * t - 2.0 * (1.0 - x[i]);
    out[i + 1] = 2.0 * a * t;
  }
  return true;
}

bool rosen_g(int n, const double* x, int m, double* out, void* ud) {
  (void)n, (void)x, (void)m, (void)out, (void)ud;
  return true;
}

bool rosen_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)n, (void)x, (void)m, (void)nele, (void)out, (void)ud;
  return true;
}

bool rosen_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
             void* ud) {
  (void)m, (void)l, (void)nele;
  const double a = ((const struct bench_params*)ud)->alpha;
  for (int i = 0, k = 0; i + 1 < n; i += 2, k += 3) {
    out[k] = of * (12.0 * a * x[i] * x[i] - 4.0 * a * x[i + 1] + 2.0);
    out[k + 1] = of * (-4.0 * a * x[i]);
    out[k + 2] = of * (2.0 * a);
  }
  return true;
}

/* Chained Rosenbrock with trigonometric-exponential constraints (Luksan and
 * Vlcek, 1999, problem 5.1):
 *   min sum_{i<n-1} alpha (x[i]^2 - x[i+1])^2 + (x[i] - 1)^2
 *   s.t. c_k(x[k], x[k+1], x[k+2]) = 0, k < n-2, with
 *   c_k = 3b^3 + 2c - 5 + sin(b-c) sin(b+c) + 4b - a exp(a-b) - 3.
 * The Jacobian holds three values per row (columns k, k+1, k+2); the
 * Hessian is tridiagonal, stored as the n diagonal values followed by the
 * n-1 values (i+1, i). */

bool chained_f(int n, const double* x, double* obj, void* ud) {
  const double a = ((const struct bench_params*)ud)->alpha;
  double s = 0.0;
  for (int i = 0; i + 1 < n; ++i) {
    const double t = x[i] * x[i] - x[i + 1];
    const double u = x[i] - 1.0;
    s += a * t * t + u * u;
  }
  *obj = s;
  return true;
}

bool chained_grad_f(int n, const double* x, double* out, void* ud) {
  const double a = ((const struct bench_params*)ud)->alpha;
  out[0] = 0.0;
  for (int i = 0; i + 1 < n; ++i) {
    const double t = x[i] * x[i] - x[i + 1];
    out[i] += 4.0 * a * x[i] * t + 2.0 * (x[i] - 1.0);
    out[i + 1] = -2.0 * a * t;
  }
  return true;
}

bool chained_g(int n, const double* x, int m, double* out, void* ud) {
  (void)n, (void)ud;
  for (int k = 0; k < m; ++k) {
    const double a = x[k], b = x[k + 1], c = x[k + 2];
    out[k] =
        3.0 * b * b * b + 2.0 * c - 5.0 + sin(b - c) * sin(b + c) + 4.0 * b - a * exp(a - b) - 3.0;
  }
  return true;
}

bool chained_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)n, (void)nele, (void)ud;
  for (int k = 0; k < m; ++k) {
    const double a = x[k], b = x[k + 1], c = x[k + 2];
    const double e = exp(a - b);
    out[3 * k] = -(1.0 + a) * e;
    out[3 * k + 1] = 9.0 * b * b + sin(2.0 * b) + 4.0 + a * e;
    out[3 * k + 2] = 2.0 - sin(2.0 * c);
  }
  return true;
}

bool chained_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
               void* ud) {
  (void)nele;
  const double a = ((const struct bench_params*)ud)->alpha;
  double* diag = out;
  double* sub = out + n;
  for (int i = 0; i < n; ++i) diag[i] = 0.0;
  for (int i = 0; i + 1 < n; ++i) {
    diag[i] += of * (12.0 * a * x[i] * x[i] - 4.0 * a * x[i + 1] + 2.0);
    diag[i + 1] += of * 2.0 * a;
    sub[i] = of * (-4.0 * a * x[i]);
  }
  for (int k = 0; k < m; ++k) {
    const double xa = x[k], b = x[k + 1], c = x[k + 2];
    const double e = exp(xa - b);
    diag[k] += l[k] * (-(2.0 + xa) * e);
    sub[k] += l[k] * (1.0 + xa) * e;
    diag[k + 1] += l[k] * (18.0 * b + 2.0 * cos(2.0 * b) - xa * e);
    diag[k + 2] += l[k] * (-2.0 * cos(2.0 * c));
  }
  return true;
}

/* A car's trajectory around circular obstacles: a discretised optimal
 * control problem. N + 1 nodes k, each with the variables (px, py, theta, v,
 * a, w) at 6k: position, heading, speed, acceleration and turn rate. The
 * dynamics px' = v cos(theta), py' = v sin(theta), theta' = w, v' = a hold
 * by explicit Euler steps of h = car_horizon / N (4N equality rows 4k..4k+3);
 * node k keeps out of obstacle j: (px - cx)^2 + (py - cy)^2 >= r^2 (row
 * 4N + CAR_OBSTACLES k + j). The objective is the control effort
 * h sum_k (a_k^2 + w_k^2). The bounds fix both ends and limit v, a and w.
 * Jacobian per interval: 4, 4, 3 and 3 values in column order, then two per
 * obstacle row. Hessian per node, lower triangle: (px,px), (py,py),
 * (theta,theta), (v,theta), (a,a), (w,w). */

const double car_horizon = 10.0;
const double car_obstacle[CAR_OBSTACLES][3] = {{3.0, 0.3, 1.0}, {7.0, -0.4, 1.0}};

static double car_step(int n) { return car_horizon / (n / CAR_VARS - 1); }

bool car_f(int n, const double* x, double* obj, void* ud) {
  (void)ud;
  double s = 0.0;
  for (int i = 0; i < n; i += CAR_VARS) s += x[i + 4] * x[i + 4] + x[i + 5] * x[i + 5];
  *obj = car_step(n) * s;
  return true;
}

bool car_grad_f(int n, const double* x, double* out, void* ud) {
  (void)ud;
  const double h = car_step(n);
  for (int i = 0; i < n; i += CAR_VARS) {
    out[i] = out[i + 1] = out[i + 2] = out[i + 3] = 0.0;
    out[i + 4] = 2.0 * h * x[i + 4];
    out[i + 5] = 2.0 * h * x[i + 5];
  }
  return true;
}

bool car_g(int n, const double* x, int m, double* out, void* ud) {
  (void)m, (void)ud;
  const int intervals = n / CAR_VARS - 1;
  const double h = car_step(n);
  for (int k = 0; k < intervals; ++k) {
    const double* z = x + CAR_VARS * k;
    const double* next = z + CAR_VARS;
    double* c = out + 4 * k;
    c[0] = next[0] - z[0] - h * z[3] * cos(z[2]);
    c[1] = next[1] - z[1] - h * z[3] * sin(z[2]);
    c[2] = next[2] - z[2] - h * z[5];
    c[3] = next[3] - z[3] - h * z[4];
  }
  double* c = out + 4 * intervals;
  for (int k = 0; k <= intervals; ++k) {
    const double* z = x + CAR_VARS * k;
    for (int j = 0; j < CAR_OBSTACLES; ++j, ++c) {
      const double dx = z[0] - car_obstacle[j][0], dy = z[1] - car_obstacle[j][1];
      *c = dx * dx + dy * dy;
    }
  }
  return true;
}

bool car_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)m, (void)nele, (void)ud;
  const int intervals = n / CAR_VARS - 1;
  const double h = car_step(n);
  double* v = out;
  for (int k = 0; k < intervals; ++k) {
    const double* z = x + CAR_VARS * k;
    const double c = cos(z[2]), s = sin(z[2]);
    *v++ = -1.0, *v++ = h * z[3] * s, *v++ = -h * c, *v++ = 1.0;
    *v++ = -1.0, *v++ = -h * z[3] * c, *v++ = -h * s, *v++ = 1.0;
    *v++ = -1.0, *v++ = -h, *v++ = 1.0;
    *v++ = -1.0, *v++ = -h, *v++ = 1.0;
  }
  for (int k = 0; k <= intervals; ++k) {
    const double* z = x + CAR_VARS * k;
    for (int j = 0; j < CAR_OBSTACLES; ++j) {
      *v++ = 2.0 * (z[0] - car_obstacle[j][0]);
      *v++ = 2.0 * (z[1] - car_obstacle[j][1]);
    }
  }
  return true;
}

bool car_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
           void* ud) {
  (void)m, (void)nele, (void)ud;
  const int intervals = n / CAR_VARS - 1;
  const double h = car_step(n);
  const double* l_obstacle = l + 4 * intervals;
  for (int k = 0; k <= intervals; ++k) {
    const double* z = x + CAR_VARS * k;
    double* v = out + 6 * k;
    double sum = 0.0;
    for (int j = 0; j < CAR_OBSTACLES; ++j) sum += l_obstacle[CAR_OBSTACLES * k + j];
    v[0] = v[1] = 2.0 * sum;
    v[2] = v[3] = 0.0;
    if (k < intervals) {
      const double c = cos(z[2]), s = sin(z[2]);
      const double* lk = l + 4 * k;
      v[2] = h * z[3] * (lk[0] * c + lk[1] * s);
      v[3] = h * (lk[0] * s - lk[1] * c);
    }
    v[4] = v[5] = 2.0 * h * of;
  }
  return true;
}

/* An evaluation-heavy problem: every variable carries K = HEAVY_TERMS
 * hyperbolic-cosine terms, so that evaluating f, its gradient and its
 * Hessian costs far more than Ipopt's step computation, whose KKT matrix is
 * a diagonal and one dense row:
 *   min (1/K) sum_i sum_k cosh(s_k (x[i] - t_k)), s_k = 1 + k/K,
 *   t_k = (k mod 7)/7 - 1/2, s.t. sum_i x[i] = n/4.
 * The Jacobian is the n ones of that row; the Hessian is diagonal. */

static double heavy_scale(int k) { return 1.0 + (double)k / HEAVY_TERMS; }
static double heavy_shift(int k) { return (k % 7) / 7.0 - 0.5; }

/* The order-th derivative (0, 1 or 2) of x[i]'s terms, times K. */
static double heavy_terms(double xi, int order) {
  double s = 0.0;
  for (int k = 0; k < HEAVY_TERMS; ++k) {
    const double a = heavy_scale(k), y = a * (xi - heavy_shift(k));
    s += order == 0 ? cosh(y) : order == 1 ? a * sinh(y) : a * a * cosh(y);
  }
  return s;
}

bool heavy_f(int n, const double* x, double* obj, void* ud) {
  (void)ud;
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += heavy_terms(x[i], 0);
  *obj = s / HEAVY_TERMS;
  return true;
}

bool heavy_grad_f(int n, const double* x, double* out, void* ud) {
  (void)ud;
  for (int i = 0; i < n; ++i) out[i] = heavy_terms(x[i], 1) / HEAVY_TERMS;
  return true;
}

bool heavy_g(int n, const double* x, int m, double* out, void* ud) {
  (void)m, (void)ud;
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += x[i];
  out[0] = s;
  return true;
}

bool heavy_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)x, (void)m, (void)nele, (void)ud;
  for (int i = 0; i < n; ++i) out[i] = 1.0;
  return true;
}

/* The constraint is linear: its multiplier does not enter the Hessian. */
bool heavy_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
             void* ud) {
  (void)m, (void)l, (void)nele, (void)ud;
  for (int i = 0; i < n; ++i) out[i] = of * heavy_terms(x[i], 2) / HEAVY_TERMS;
  return true;
}

/* Callbacks that return zeros: with them every role's output is right for
 * the constant problem min 0, which keeps the solver's path fixed while
 * the per-call overhead of the Python forms is measured against them. */

bool zero_f(int n, const double* x, double* obj, void* ud) {
  (void)n, (void)x, (void)ud;
  *obj = 0.0;
  return true;
}

bool zero_grad_f(int n, const double* x, double* out, void* ud) {
  (void)x, (void)ud;
  for (int i = 0; i < n; ++i) out[i] = 0.0;
  return true;
}

bool zero_g(int n, const double* x, int m, double* out, void* ud) {
  (void)n, (void)x, (void)ud;
  for (int i = 0; i < m; ++i) out[i] = 0.0;
  return true;
}

bool zero_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)n, (void)x, (void)m, (void)ud;
  for (int i = 0; i < nele; ++i) out[i] = 0.0;
  return true;
}

bool zero_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
            void* ud) {
  (void)n, (void)x, (void)of, (void)m, (void)l, (void)ud;
  for (int i = 0; i < nele; ++i) out[i] = 0.0;
  return true;
}
