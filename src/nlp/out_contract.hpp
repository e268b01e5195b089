// What the solve checks of a Python callback that writes its results into
// `out`: on its first call in each solve, that it writes every entry and
// returns nothing else. Each fault is warned about once per problem.
#pragma once

namespace vornel {

struct OutContract {
  // Set when a solve starts; the next call is checked.
  bool check_next = false;
  bool warned_unwritten = false;
  bool warned_returned = false;

  void arm() { check_next = !(warned_unwritten && warned_returned); }
};

// The contracts of a problem's four routines that write into `out`.
struct OutContracts {
  OutContract grad_f;
  OutContract g;
  OutContract jac_g;
  OutContract h;

  // From the start of a solve to its end: calls outside a solve (a check)
  // are not the solver's.
  void arm() {
    for (OutContract* c : {&grad_f, &g, &jac_g, &h}) c->arm();
  }
  void disarm() {
    for (OutContract* c : {&grad_f, &g, &jac_g, &h}) c->check_next = false;
  }
};

}  // namespace vornel
