// The solver objects of one problem: the Ipopt application and the adapter
// it solves, with typed option setting and the run's output.
#pragma once

#include <Python.h>

#include <IpIpoptApplication.hpp>
#include <IpTNLP.hpp>

#include <string>
#include <variant>

#include "solver/journals.hpp"

namespace vornel {

// One option value, typed by the Python type it came from. The text is
// borrowed for the duration of the call.
using OptionValue = std::variant<int, double, char*>;

struct OptionVisitor {
  Ipopt::SmartPtr<Ipopt::OptionsList> options;
  const char* name;
  bool operator()(int value) const;
  bool operator()(double value) const;
  bool operator()(char* value) const;
};

class NlpBundle {
 public:
  NlpBundle();

  // False when the factory gave no application; nothing else may be called
  // on such a bundle.
  explicit operator bool() const { return Ipopt::IsValid(app); }

  // One run under the options in force. The console output goes to
  // sys.stdout, and to output_file when that option names one. With
  // `stop_request`, a KeyboardInterrupt or SystemExit raised by
  // sys.stdout's write stays pending and sets it, and the adapter, which
  // reads it at each iteration, looks at Python and stops the run; without,
  // such a write error is reported as unraisable like any other.
  Ipopt::ApplicationReturnStatus optimize(bool* stop_request = nullptr);
  // False when the solver (or the bundle, for a value that would hang or
  // contradict the problem) refuses the name or the value; refusal() then
  // says why. Nothing is printed either way.
  bool set_option(const char* name, const OptionValue& value);
  const std::string& refusal() const { return refusal_; }
  // Switches the solver to the limited-memory Hessian approximation for
  // good, overriding any value set before (the restoration phase's too):
  // the problem has no Hessian, so later requests for the exact one are
  // refused.
  void without_hess();

  Ipopt::SmartPtr<Ipopt::TNLP> nlp;
  Ipopt::SmartPtr<Ipopt::IpoptApplication> app;

 private:
  std::string check_value(const char* name, const OptionValue& value) const;
  bool open_journals();
  void close_journals();

  Ipopt::SmartPtr<PyStdoutJournal> console_;
  // The output_file of the run under way; null between runs.
  Ipopt::SmartPtr<OutputFileJournal> output_file_;
  std::string refusal_;
  bool has_hessian_ = true;
};

// A turn at the solver: where the linked Ipopt cannot run two solves at
// once, a process-wide lock held for one run; otherwise nothing. The turn
// is recursive: a callback may solve another problem on the same thread.
class SolverTurn {
 public:
  SolverTurn() = default;
  SolverTurn(const SolverTurn&) = delete;
  SolverTurn& operator=(const SolverTurn&) = delete;
  // Gives the turn back when it was taken; the thread's last turn frees the
  // bundles whose deletion waited for it.
  ~SolverTurn();

  // Waits for the turn. The caller holds the interpreter lock; the wait
  // gives it up (a running solve may need it to finish) and takes it back
  // every few milliseconds to run signal handlers. False, with the
  // handler's exception set (KeyboardInterrupt for Ctrl-C), when one raised.
  bool take();

 private:
  bool taken_ = false;
};

// Deletes a bundle, without waiting for another thread's solve. A bundle
// that has run holds the solver's linear solver, whose deletion ends its
// MUMPS instance: where runs take turns, that happens under the turn, now
// when the turn is free (or is this thread's), otherwise when the thread
// that has it gives it back.
void delete_bundle(NlpBundle* bundle);

// Marks a run that enters the solver without the interpreter lock held
// (compiled routines only), for the fork handler.
class UnlockedRun {
 public:
  UnlockedRun();
  UnlockedRun(const UnlockedRun&) = delete;
  UnlockedRun& operator=(const UnlockedRun&) = delete;
  ~UnlockedRun();
};

// Readies a child that fork() makes while other threads solve. Where runs
// take turns, the turn that another thread held is free in the child.
// Where they run at once, a run without the interpreter lock may have held
// Ipopt's own lock on MUMPS, which nothing can free: such a child refuses
// solves (solver_usable_after_fork) and leaves its bundles undeleted.
// Called at import; false with an exception set when the handler cannot be
// registered.
bool reset_turn_at_fork();

// False with RuntimeError in a child forked while another thread ran a
// solve without the interpreter lock, where runs do not take turns.
bool solver_usable_after_fork();

// Applies every entry of a dict (null or None apply nothing). Stops at the
// first failing entry with an exception set (TypeError, ValueError or the
// UnicodeEncodeError of a text that is not UTF-8); the entries before it
// stay applied.
bool set_options_from_dict(NlpBundle& bundle, PyObject* options);

}  // namespace vornel
