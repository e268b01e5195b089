#include "solver/nlp_bundle.hpp"

#include <IpOptionsList.hpp>
#include <IpRegOptions.hpp>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "convert/gil.hpp"
#include "solver/ipopt_compat.hpp"

namespace vornel {

namespace {

// The option's own name without the prefix ("resto.") that Ipopt allows in
// front of it.
const char* tag_of(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot == nullptr ? name : dot + 1;
}

bool equal_insensitive(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    if (lower(*a) != lower(*b)) return false;
  }
  return *a == *b;
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", value);
  return text;
}

// A numeric option's range as Ipopt documents it ("0 < tol <= +inf"): a side
// without a bound reaches infinity.
std::string range_text(const Ipopt::RegisteredOption& option) {
  std::string range = option.HasLower() ? number_text(option.LowerNumber()) +
                                              (option.LowerStrict() ? " < " : " <= ")
                                        : std::string("-inf <= ");
  range += option.Name();
  range += option.HasUpper()
               ? (option.UpperStrict() ? " < " : " <= ") + number_text(option.UpperNumber())
               : std::string(" <= +inf");
  return range;
}

// Leading and trailing blank lines and spaces of the solver's explanation.
std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \n") - first + 1);
}

// The process-wide turn: a recursive mutex, with its owner and depth kept
// beside it (only the owner changes them) so that the release and the fork
// handler know where the turn stands; and the bundles deleted while
// another thread had it.
struct Turn {
  pthread_mutex_t mutex;
  pthread_t owner{};
  bool owned = false;
  int depth = 0;
  pthread_mutex_t deferred_mutex = PTHREAD_MUTEX_INITIALIZER;
  std::vector<NlpBundle*> deferred;

  Turn() { init_mutex(); }

  void init_mutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }

  // After the mutex was locked: the turn is this thread's.
  void note_taken() {
    owner = pthread_self();
    owned = true;
    ++depth;
  }

  // The owner's last release first deletes what waited for the turn; the
  // turn is given up with the list's lock held, so that no bundle is
  // deferred to a turn that nobody will give back.
  void release() {
    if (depth > 1) {
      --depth;
      pthread_mutex_unlock(&mutex);
      return;
    }
    for (;;) {
      pthread_mutex_lock(&deferred_mutex);
      if (deferred.empty()) {
        owned = false;
        depth = 0;
        pthread_mutex_unlock(&mutex);
        pthread_mutex_unlock(&deferred_mutex);
        return;
      }
      std::vector<NlpBundle*> bundles;
      bundles.swap(deferred);
      pthread_mutex_unlock(&deferred_mutex);
      for (NlpBundle* bundle : bundles) delete bundle;
    }
  }

  // In a child of fork(): a turn held by a thread other than the forking
  // one has no holder there. The deferred bundles stay deferred; the
  // child's first release deletes them.
  void after_fork_in_child() {
    pthread_mutex_init(&deferred_mutex, nullptr);
    if (owned && pthread_equal(owner, pthread_self()) != 0) return;
    init_mutex();
    owned = false;
    depth = 0;
  }
};

Turn& turn() {
  // Never destroyed: daemon threads may still solve at exit.
  static Turn* const instance = new Turn;
  return *instance;
}

// Where solves run at once, Ipopt guards its calls into MUMPS with a lock
// of its own, which a run without the interpreter lock (compiled routines
// only) may hold when another thread forks: the child, which has no such
// thread, would wait for it for good. Runs of Python routines hold the
// interpreter lock inside the solver, so a fork (which needs it) never
// finds them there.
std::atomic<int> unlocked_runs{0};
thread_local int unlocked_runs_here = 0;
bool forked_during_unlocked_run = false;

void reset_turn_in_child() {
  if constexpr (compat::parallel_solves) {
    if (unlocked_runs.load() > unlocked_runs_here) forked_during_unlocked_run = true;
  } else {
    turn().after_fork_in_child();
  }
}

// How long a wait for the turn goes without looking at signals.
constexpr long turn_poll_ns = 20'000'000;

timespec deadline_after(long ns) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  now.tv_nsec += ns;
  if (now.tv_nsec >= 1'000'000'000) {
    now.tv_nsec -= 1'000'000'000;
    ++now.tv_sec;
  }
  return now;
}

}  // namespace

bool SolverTurn::take() {
  if constexpr (compat::parallel_solves) return true;
  Turn& t = turn();
  if (pthread_mutex_trylock(&t.mutex) != 0) {
    for (;;) {
      int waited = 0;
      {
        const GilRelease released;
        const timespec deadline = deadline_after(turn_poll_ns);
        waited = pthread_mutex_timedlock(&t.mutex, &deadline);
      }
      if (waited == 0) break;
      if (PyErr_CheckSignals() != 0) return false;
    }
  }
  t.note_taken();
  taken_ = true;
  return true;
}

SolverTurn::~SolverTurn() {
  if (taken_) turn().release();
}

void delete_bundle(NlpBundle* bundle) {
  if constexpr (compat::parallel_solves) {
    // Its MUMPS instance ends under the lock that may be held for good.
    if (!forked_during_unlocked_run) delete bundle;
    return;
  }
  Turn& t = turn();
  pthread_mutex_lock(&t.deferred_mutex);
  if (pthread_mutex_trylock(&t.mutex) == 0) {
    pthread_mutex_unlock(&t.deferred_mutex);
    t.note_taken();
    delete bundle;
    t.release();
    return;
  }
  try {
    t.deferred.push_back(bundle);
  } catch (const std::bad_alloc&) {
    // Without memory to note it, the bundle is left for good: deleting it
    // now could end a MUMPS instance while another one runs.
  }
  pthread_mutex_unlock(&t.deferred_mutex);
}

UnlockedRun::UnlockedRun() {
  ++unlocked_runs;
  ++unlocked_runs_here;
}

UnlockedRun::~UnlockedRun() {
  --unlocked_runs_here;
  --unlocked_runs;
}

bool solver_usable_after_fork() {
  if (!forked_during_unlocked_run) return true;
  PyErr_SetString(PyExc_RuntimeError,
                  "this process was forked while another thread ran a solve with compiled "
                  "callbacks, which may hold Ipopt's lock on MUMPS for good here; solve in the "
                  "parent, or start child processes with the \"spawn\" or \"forkserver\" method");
  return false;
}

bool reset_turn_at_fork() {
  static bool registered = false;
  if (registered) return true;
  static_cast<void>(turn());
  const int failed = pthread_atfork(nullptr, nullptr, reset_turn_in_child);
  if (failed != 0) {
    errno = failed;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  registered = true;
  return true;
}

bool OptionVisitor::operator()(int value) const {
  return options->SetIntegerValue(std::string(name), value, true, false);
}

bool OptionVisitor::operator()(double value) const {
  return options->SetNumericValue(std::string(name), value, true, false);
}

bool OptionVisitor::operator()(char* value) const {
  return options->SetStringValue(std::string(name), std::string(value), true, false);
}

// No options file is read and Initialize() is not called; the factory's
// console journal, which writes to the C stdout, gives way to one that
// writes to sys.stdout.
NlpBundle::NlpBundle()
    : nlp(nullptr),
      app(IpoptApplicationFactory()),
      console_(new PyStdoutJournal(Ipopt::J_ITERSUMMARY)) {
  if (Ipopt::IsNull(app)) return;
  console_->SetPrintLevel(Ipopt::J_DBG, Ipopt::J_NONE);
  close_journals();
}

Ipopt::ApplicationReturnStatus NlpBundle::optimize(bool* stop_request) {
  Ipopt::ApplicationReturnStatus status = Ipopt::Invalid_Option;
  console_->watch(stop_request);
  if (open_journals()) {
    const std::string unavailable = compat::unavailable_routine(*app->Options());
    if (unavailable.empty()) {
      status = app->OptimizeTNLP(nlp);
    } else {
      app->Jnlst()->Printf(Ipopt::J_ERROR, Ipopt::J_MAIN, "\n%s.\n", unavailable.c_str());
      app->Jnlst()->Printf(Ipopt::J_SUMMARY, Ipopt::J_MAIN,
                           "\nEXIT: Invalid option encountered.\n");
    }
  }
  app->Jnlst()->FlushBuffer();
  console_->watch(nullptr);
  close_journals();
  return status;
}

bool NlpBundle::set_option(const char* name, const OptionValue& value) {
  refusal_ = check_value(name, value);
  if (!refusal_.empty()) return false;
  // The options list explains a refusal through its journalist; this one
  // keeps the text for the caller instead of printing it.
  Ipopt::SmartPtr<TextJournal> explanation = new TextJournal();
  Ipopt::SmartPtr<Ipopt::Journalist> collector = new Ipopt::Journalist();
  collector->AddJournal(Ipopt::GetRawPtr(explanation));
  Ipopt::SmartPtr<Ipopt::OptionsList> options = app->Options();
  options->SetJournalist(collector);
  const bool accepted = std::visit(OptionVisitor{options, name}, value);
  options->SetJournalist(app->Jnlst());
  if (!accepted) refusal_ = trimmed(explanation->text());
  return accepted;
}

// What the options list would take but the bundle refuses: a non-finite
// number outside the option's registered range (a NaN passes every range
// comparison and leaves the solver looping for good), and an exact Hessian
// for a problem that has none.
std::string NlpBundle::check_value(const char* name, const OptionValue& value) const {
  const char* tag = tag_of(name);
  if (const auto* text = std::get_if<char*>(&value)) {
    if (!has_hessian_ && std::strcmp(tag, "hessian_approximation") == 0 &&
        !equal_insensitive(*text, "limited-memory")) {
      return std::string(
                 "the problem was built without eval_h, so Ipopt has no Hessian to use; "
                 "its limited-memory approximation (\"limited-memory\") is the only "
                 "possible setting, not \"") +
             *text + "\"";
    }
    if (std::strcmp(tag, "output_file") == 0 && **text != '\0') {
      const std::string problem = output_file_problem(*text);
      if (!problem.empty()) {
        return std::string("cannot write the file \"") + *text + "\": " + problem;
      }
    }
    return {};
  }
  const auto* number = std::get_if<double>(&value);
  if (number == nullptr || std::isfinite(*number)) return {};
  Ipopt::SmartPtr<const Ipopt::RegisteredOption> option = app->RegOptions()->GetOption(name);
  if (Ipopt::IsNull(option) || option->Type() != Ipopt::OT_Number) return {};
  const bool in_range =
      !std::isnan(*number) && (*number > 0 ? !option->HasUpper() : !option->HasLower());
  if (in_range) return {};
  return number_text(*number) + " is not a value of the option's range, " + range_text(*option) +
         "; give a finite number";
}

void NlpBundle::without_hess() {
  has_hessian_ = false;
  Ipopt::OptionsList& options = *app->Options();
  options.SetStringValue("hessian_approximation", "limited-memory", true, false);
  // The restoration phase reads its own value first: an exact Hessian there
  // would be one that nothing computes.
  std::string resto;
  if (options.GetStringValue("resto.hessian_approximation", resto, "")) {
    options.SetStringValue("resto.hessian_approximation", "limited-memory", true, false);
  }
}

// The journals of one run, set up from the options in force as Ipopt's own
// initialisation does: the console at print_level, and output_file at
// file_print_level (print_level when unset), truncated or appended as
// file_append says where the solver has that option. False when the file
// cannot be opened.
bool NlpBundle::open_journals() {
  Ipopt::Journalist& journalist = *app->Jnlst();
  Ipopt::OptionsList& options = *app->Options();
  journalist.DeleteAllJournals();
  console_->reset();
  bool silent = false;
  options.GetBoolValue("suppress_all_output", silent, "");
  if (silent) return true;
  Ipopt::Index print_level = Ipopt::J_ITERSUMMARY;
  options.GetIntegerValue("print_level", print_level, "");
  console_->SetAllPrintLevels(static_cast<Ipopt::EJournalLevel>(print_level));
  console_->SetPrintLevel(Ipopt::J_DBG, Ipopt::J_NONE);
  journalist.AddJournal(Ipopt::GetRawPtr(console_));

  std::string file;
  options.GetStringValue("output_file", file, "");
  if (file.empty()) return true;
  Ipopt::Index file_level = print_level;
  if (!options.GetIntegerValue("file_print_level", file_level, "")) file_level = print_level;
  bool append = false;
  if (Ipopt::IsValid(app->RegOptions()->GetOption("file_append"))) {
    options.GetBoolValue("file_append", append, "");
  }
  output_file_ = new OutputFileJournal(file);
  output_file_->SetAllPrintLevels(static_cast<Ipopt::EJournalLevel>(file_level));
  if (output_file_->open(append)) {
    journalist.AddJournal(Ipopt::GetRawPtr(output_file_));
    return true;
  }
  output_file_ = nullptr;
  journalist.Printf(Ipopt::J_ERROR, Ipopt::J_INITIALIZATION, "Error opening output file \"%s\"\n",
                    file.c_str());
  return false;
}

// Closes the run's output file, so that it is complete on disk when solve()
// returns, and keeps the console for the next run. The log that could not
// be written is a RuntimeWarning, unless an exception is pending already
// (a warnings filter may make it an exception, which solve() raises).
void NlpBundle::close_journals() {
  app->Jnlst()->DeleteAllJournals();
  app->Jnlst()->AddJournal(Ipopt::GetRawPtr(console_));
  if (Ipopt::IsNull(output_file_)) return;
  const std::string failure = output_file_->close();
  const std::string name = output_file_->file_name();
  output_file_ = nullptr;
  if (failure.empty()) return;
  with_gil([&] {
    if (PyErr_Occurred() == nullptr) {
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "output_file \"%s\": writing the log failed (%s); the file is incomplete",
                       name.c_str(), failure.c_str());
    }
    return true;
  });
}

}  // namespace vornel
