// Where the solver's text goes: Python's sys.stdout for the console output,
// and a string for the explanations the options list gives on a refusal.
#pragma once

#include <IpJournalist.hpp>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace vornel {

// The console journal: writes whole lines to whatever sys.stdout is at the
// time (a terminal, a notebook, contextlib.redirect_stdout, pytest's
// capture), so that the solver's log goes where the caller's own output
// goes. A partial line waits for its end or for the solver's flush.
class PyStdoutJournal : public Ipopt::Journal {
 public:
  explicit PyStdoutJournal(Ipopt::EJournalLevel level);
  // Forgets an earlier write failure, so that a new run tries again.
  void reset();
  // While a run writes through the journal: `stop_request` (null outside a
  // run) is set when the stream's write raises KeyboardInterrupt or
  // SystemExit, which then stays pending for the run to stop at and for
  // solve() to raise. Other write errors are reported once through the
  // interpreter's unraisable hook and the stream is left alone.
  void watch(bool* stop_request) { stop_request_ = stop_request; }

 protected:
  void PrintImpl(Ipopt::EJournalCategory category, Ipopt::EJournalLevel level,
                 const char* str) override;
  void PrintfImpl(Ipopt::EJournalCategory category, Ipopt::EJournalLevel level, const char* pformat,
                  va_list ap) override;
  void FlushBufferImpl() override;

 private:
  void append(const char* text, std::size_t size);
  void write(std::size_t size, bool flush);

  std::string pending_;
  bool broken_ = false;
  bool* stop_request_ = nullptr;
};

// The output_file journal: the file named (or the C stdout or stderr for
// "stdout" and "stderr", as Ipopt's own file journal has it), with the
// first failure to write it kept for the caller, which Ipopt's own journal
// drops.
class OutputFileJournal : public Ipopt::Journal {
 public:
  explicit OutputFileJournal(const std::string& name);
  ~OutputFileJournal() override;
  OutputFileJournal(const OutputFileJournal&) = delete;
  OutputFileJournal& operator=(const OutputFileJournal&) = delete;

  // False when the file cannot be opened.
  bool open(bool append);
  // Flushes and closes the file; what went wrong in writing it (the
  // system's message), or empty.
  std::string close();
  const std::string& file_name() const { return file_name_; }

 protected:
  void PrintImpl(Ipopt::EJournalCategory category, Ipopt::EJournalLevel level,
                 const char* str) override;
  void PrintfImpl(Ipopt::EJournalCategory category, Ipopt::EJournalLevel level, const char* pformat,
                  va_list ap) override;
  void FlushBufferImpl() override;

 private:
  void note_failure();

  std::string file_name_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string failure_;
};

// Why a file named for output_file cannot be written (the system's
// message), or empty when it can be, as far as can be told without
// opening it: an existing file must be writable, a new one's folder must
// exist and be writable.
std::string output_file_problem(const std::string& name);

// Collects everything printed to it, at every level.
class TextJournal : public Ipopt::Journal {
 public:
  TextJournal();
  const std::string& text() const { return text_; }

 protected:
  void PrintImpl(Ipopt::EJournalCategory category, Ipopt::EJournalLevel level,
                 const char* str) override;
  void PrintfImpl(Ipopt::EJournalCategory category, Ipopt::EJournalLevel level, const char* pformat,
                  va_list ap) override;
  void FlushBufferImpl() override {}

 private:
  std::string text_;
};

// The text of a printf-style format and its arguments.
std::string format_va(const char* pformat, va_list ap);

}  // namespace vornel
