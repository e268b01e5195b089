/* Hock-Schittkowski problem 71 as the C callbacks that vornel.Problem takes
 * in a PyCapsule or a scipy.LowLevelCallable.
 *
 * Every function insists on its user data: a struct tagged with MAGIC. A
 * missing or wrong pointer makes the evaluation fail instead of passing
 * silently, so a solve that succeeds proves the user data arrived. Each call
 * is counted in the struct, so the tests can see which functions ran. */
#define _POSIX_C_SOURCE 199309L
#include <stdbool.h>
#include <stddef.h>
#include <time.h>

#define MAGIC 0x71071071u

struct user_data {
  unsigned int magic;
  long calls;
  /* intermediate_callback: stop once iter reaches this value; < 0 never. */
  long stop_after;
  /* intermediate_callback: the last iteration number it was given. */
  long last_iter;
  /* Sleep this long in every call: makes a run slow without Python code in
   * it, for tests that interrupt a running solve. */
  long delay_us;
};

/* How many slowed-down calls run at this moment, in any thread, and the most
 * that ever did: tells whether solves in threads ran at the same time. */
static int running, most_running;

static void note_running(int change) {
  const int now = __atomic_add_fetch(&running, change, __ATOMIC_SEQ_CST);
  int most = __atomic_load_n(&most_running, __ATOMIC_SEQ_CST);
  while (now > most &&
         !__atomic_compare_exchange_n(&most_running, &most, now, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST)) {
  }
}

int hs071_most_running(void) { return __atomic_exchange_n(&most_running, 0, __ATOMIC_SEQ_CST); }

static bool take(void *user_data) {
  struct user_data *data = (struct user_data *)user_data;
  if (data == NULL || data->magic != MAGIC) return false;
  ++data->calls;
  if (data->delay_us > 0) {
    struct timespec pause = {data->delay_us / 1000000, (data->delay_us % 1000000) * 1000};
    note_running(1);
    nanosleep(&pause, NULL); /* a signal may cut it short; that is fine */
    note_running(-1);
  }
  return true;
}

unsigned int hs071_magic(void) { return MAGIC; }

bool f(int n, double *x, double *obj_value, void *user_data) {
  if (!take(user_data) || n != 4) return false;
  *obj_value = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
  return true;
}

bool grad_f(int n, double *x, double *out, void *user_data) {
  if (!take(user_data) || n != 4) return false;
  out[0] = x[0] * x[3] + x[3] * (x[0] + x[1] + x[2]);
  out[1] = x[0] * x[3];
  out[2] = x[0] * x[3] + 1.0;
  out[3] = x[0] * (x[0] + x[1] + x[2]);
  return true;
}

bool g(int n, double *x, int m, double *out, void *user_data) {
  if (!take(user_data) || n != 4 || m != 2) return false;
  out[0] = x[0] * x[1] * x[2] * x[3];
  out[1] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3];
  return true;
}

bool jac_g(int n, double *x, int m, int nele_jac, double *out, void *user_data) {
  if (!take(user_data) || n != 4 || m != 2 || nele_jac != 8 || out == NULL) return false;
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

/* The third argument carries the objective factor. Lower triangle, row by
 * row, in the order of the tests' Hessian pattern. */
bool h(int n, double *x, double obj_value, int m, double *lagrange, int nele_hess, double *out,
       void *user_data) {
  const double obj_factor = obj_value;
  if (!take(user_data) || n != 4 || m != 2 || nele_hess != 10 || out == NULL) return false;
  out[0] = obj_factor * 2 * x[3] + lagrange[1] * 2;
  out[1] = obj_factor * x[3] + lagrange[0] * x[2] * x[3];
  out[2] = lagrange[1] * 2;
  out[3] = obj_factor * x[3] + lagrange[0] * x[1] * x[3];
  out[4] = lagrange[0] * x[0] * x[3];
  out[5] = lagrange[1] * 2;
  out[6] = obj_factor * (2 * x[0] + x[1] + x[2]) + lagrange[0] * x[1] * x[2];
  out[7] = obj_factor * x[0] + lagrange[0] * x[0] * x[2];
  out[8] = obj_factor * x[0] + lagrange[0] * x[0] * x[1];
  out[9] = lagrange[1] * 2;
  return true;
}

bool intermediate_callback(int algorithm_mode, int iter, double obj_value, double inf_pr,
                           double inf_du, double mu, double d_norm, double regularization_size,
                           double alpha_du, double alpha_pr, int ls_trails, const void *ip_data,
                           void *ip_cq, void *userdata) {
  struct user_data *data = (struct user_data *)userdata;
  (void)algorithm_mode, (void)obj_value, (void)inf_pr, (void)inf_du, (void)mu, (void)d_norm;
  (void)regularization_size, (void)alpha_du, (void)alpha_pr, (void)ls_trails;
  if (!take(userdata) || ip_data == NULL || ip_cq == NULL) return false;
  data->last_iter = iter;
  return data->stop_after < 0 || iter < data->stop_after;
}
