/* HS071 with vornel's C callback signatures and switchable faults, so that
 * the compiled forms can be made to fail exactly like the Python ones.
 * Each routine reads a `faults` record from its user data. */
#include <math.h>
#include <stdbool.h>

enum { F, GRAD_F, G, JAC_G, H, INTERMEDIATE, ROUTINES };

enum { NORMAL = 0, FAIL = 1, WRITE_NOTHING = 2, WRITE_NAN = 3, WRITE_INF = 4, FAIL_ONCE = 5 };

struct faults {
  int calls[ROUTINES];
  int from_call[ROUTINES]; /* 1-based call from which `mode` applies; 0: never */
  int mode[ROUTINES];
};

/* Counts the call; the fault mode in force for it, or NORMAL. FAIL_ONCE
 * fails the call `from_call` alone. */
static int fault(void* ud, int routine) {
  struct faults* s = (struct faults*)ud;
  if (s == 0) return NORMAL;
  int call = ++s->calls[routine];
  if (s->mode[routine] == FAIL_ONCE) return call == s->from_call[routine] ? FAIL : NORMAL;
  if (s->from_call[routine] != 0 && call >= s->from_call[routine]) return s->mode[routine];
  return NORMAL;
}

static void poison(double* out, int len, int mode) {
  const double v = mode == WRITE_NAN ? NAN : INFINITY;
  for (int i = 0; i < len; ++i) out[i] = v;
}

bool rel_f(int n, const double* x, double* obj, void* ud) {
  (void)n;
  int mode = fault(ud, F);
  if (mode == FAIL) return false;
  if (mode == WRITE_NOTHING) return true;
  if (mode == WRITE_NAN || mode == WRITE_INF) {
    poison(obj, 1, mode);
    return true;
  }
  *obj = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
  return true;
}

bool rel_grad_f(int n, const double* x, double* out, void* ud) {
  int mode = fault(ud, GRAD_F);
  if (mode == FAIL) return false;
  if (mode == WRITE_NOTHING) return true;
  if (mode != NORMAL) {
    poison(out, n, mode);
    return true;
  }
  out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2]);
  out[1] = x[0] * x[3];
  out[2] = x[0] * x[3] + 1.0;
  out[3] = x[0] * (x[0] + x[1] + x[2]);
  return true;
}

bool rel_g(int n, const double* x, int m, double* out, void* ud) {
  (void)n;
  int mode = fault(ud, G);
  if (mode == FAIL) return false;
  if (mode == WRITE_NOTHING) return true;
  if (mode != NORMAL) {
    poison(out, m, mode);
    return true;
  }
  out[0] = x[0] * x[1] * x[2] * x[3];
  out[1] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3];
  return true;
}

bool rel_jac_g(int n, const double* x, int m, int nele, double* out, void* ud) {
  (void)n;
  (void)m;
  int mode = fault(ud, JAC_G);
  if (mode == FAIL) return false;
  if (mode == WRITE_NOTHING) return true;
  if (mode != NORMAL) {
    poison(out, nele, mode);
    return true;
  }
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

bool rel_h(int n, const double* x, double of, int m, const double* l, int nele, double* out,
           void* ud) {
  (void)n;
  (void)m;
  int mode = fault(ud, H);
  if (mode == FAIL) return false;
  if (mode == WRITE_NOTHING) return true;
  if (mode != NORMAL) {
    poison(out, nele, mode);
    return true;
  }
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

/* Any fault mode asks for a stop: this routine has no output to spoil. */
bool rel_intermediate(int mode, int iter, double obj, double inf_pr, double inf_du, double mu,
                      double d_norm, double reg, double alpha_du, double alpha_pr, int ls,
                      const void* ip_data, void* ip_cq, void* ud) {
  (void)mode, (void)iter, (void)obj, (void)inf_pr, (void)inf_du, (void)mu, (void)d_norm;
  (void)reg, (void)alpha_du, (void)alpha_pr, (void)ls, (void)ip_data, (void)ip_cq;
  return fault(ud, INTERMEDIATE) == NORMAL;
}
