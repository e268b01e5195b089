/* The benchmark problems' arithmetic, with vornel's C callback signatures.
 * The native C++ baseline calls the same functions, so any time difference
 * between the two forms is the interface's. */
#ifndef BENCH_PROBLEMS_H
#define BENCH_PROBLEMS_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* User data of the scalable problems: the weight of the Rosenbrock terms. */
struct bench_params {
  double alpha;
};

#define BENCH_DECLARE(p)                                                                       \
  bool p##_f(int n, const double* x, double* obj, void* ud);                                   \
  bool p##_grad_f(int n, const double* x, double* out, void* ud);                              \
  bool p##_g(int n, const double* x, int m, double* out, void* ud);                            \
  bool p##_jac_g(int n, const double* x, int m, int nele, double* out, void* ud);              \
  bool p##_h(int n, const double* x, double obj_factor, int m, const double* lambda, int nele, \
             double* out, void* ud);

BENCH_DECLARE(hs071)
BENCH_DECLARE(rosen)
BENCH_DECLARE(chained)
BENCH_DECLARE(car)
BENCH_DECLARE(heavy)

/* The car problem's layout, shared by the native program: six variables a
 * node, N = n / 6 - 1 intervals, CAR_OBSTACLES circles. */
enum { CAR_VARS = 6, CAR_OBSTACLES = 2 };
extern const double car_horizon;
extern const double car_obstacle[CAR_OBSTACLES][3]; /* centre x, centre y, radius */
/* Terms per variable of the evaluation-heavy problem. */
enum { HEAVY_TERMS = 2048 };
/* Zeros for every role: the reference for the per-call overhead. */
BENCH_DECLARE(zero)

#ifdef __cplusplus
}
#endif

#endif
