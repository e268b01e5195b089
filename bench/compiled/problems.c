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
    out[k] = 3.0 * b * b * b + 2.0 * c - 5.0 + sin(b - c) * sin(b + c) + 4.0 * b -
             a * exp(a - b) - 3.0;
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
