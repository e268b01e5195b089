#include "solver/nlp_bundle.hpp"

#include <IpOptionsList.hpp>
#include <IpRegOptions.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

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

std::recursive_mutex& solver_mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

}  // namespace

SolverTurn::SolverTurn() {
  if constexpr (!compat::parallel_solves) solver_mutex().lock();
}

SolverTurn::~SolverTurn() {
  if constexpr (!compat::parallel_solves) solver_mutex().unlock();
}

void delete_bundle(NlpBundle* bundle) {
  if constexpr (compat::parallel_solves) {
    delete bundle;
  } else {
    const GilRelease released;
    const SolverTurn turn;
    delete bundle;
  }
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

Ipopt::ApplicationReturnStatus NlpBundle::optimize(bool& stop_request) {
  Ipopt::ApplicationReturnStatus status = Ipopt::Invalid_Option;
  console_->watch(&stop_request);
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
  if (compat::open_output_file(*app, file, static_cast<Ipopt::EJournalLevel>(file_level), append)) {
    return true;
  }
  journalist.Printf(Ipopt::J_ERROR, Ipopt::J_INITIALIZATION, "Error opening output file \"%s\"\n",
                    file.c_str());
  return false;
}

// Closes the run's output file, so that it is complete on disk when solve()
// returns, and keeps the console for the next run.
void NlpBundle::close_journals() {
  app->Jnlst()->DeleteAllJournals();
  app->Jnlst()->AddJournal(Ipopt::GetRawPtr(console_));
}

}  // namespace vornel
