#include "solver/journals.hpp"

#include <Python.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "convert/gil.hpp"
#include "convert/py_ref.hpp"

namespace vornel {

namespace {

// Keeps an exception that is pending when the solver prints (a callback's,
// which solve() raises later) out of the way of the write, and puts it back.
class SavedError {
 public:
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() : exc_(PyErr_GetRaisedException()) {}
  ~SavedError() { PyErr_SetRaisedException(exc_); }
  // The exception raised since is the one put back, unless one was saved:
  // that one came first and stops the run as well.
  void keep_current() {
    if (exc_ == nullptr) {
      exc_ = PyErr_GetRaisedException();
    } else {
      PyErr_Clear();
    }
  }

 private:
  PyObject* exc_;
#else
  SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~SavedError() { PyErr_Restore(type_, value_, traceback_); }
  void keep_current() {
    if (type_ == nullptr) {
      PyErr_Fetch(&type_, &value_, &traceback_);
    } else {
      PyErr_Clear();
    }
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
};

// Writes `size` bytes of `text` to sys.stdout and optionally flushes it.
// False with an exception set when the stream refuses; a missing or None
// sys.stdout (pythonw, a closed console) swallows the text, as print() does.
bool py_write_stdout(const char* text, std::size_t size, bool flush) {
  PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
  if (!out || out.get() == Py_None) return true;
  if (size > 0) {
    PyRef str =
        PyRef::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "backslashreplace"));
    if (!str) return false;
    PyRef written = PyRef::steal(PyObject_CallMethod(out.get(), "write", "O", str.get()));
    if (!written) return false;
  }
  if (flush && PyObject_HasAttrString(out.get(), "flush")) {
    PyRef flushed = PyRef::steal(PyObject_CallMethod(out.get(), "flush", nullptr));
    if (!flushed) return false;
  }
  return true;
}

}  // namespace

std::string format_va(const char* pformat, va_list ap) {
  va_list probe;
  va_copy(probe, ap);
  const int size = std::vsnprintf(nullptr, 0, pformat, probe);
  va_end(probe);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), pformat, ap);
  text.resize(static_cast<std::size_t>(size));
  return text;
}

PyStdoutJournal::PyStdoutJournal(Ipopt::EJournalLevel level) : Journal("console", level) {}

void PyStdoutJournal::reset() { broken_ = false; }

void PyStdoutJournal::PrintImpl(Ipopt::EJournalCategory, Ipopt::EJournalLevel, const char* str) {
  append(str, std::strlen(str));
}

void PyStdoutJournal::PrintfImpl(Ipopt::EJournalCategory, Ipopt::EJournalLevel, const char* pformat,
                                 va_list ap) {
  const std::string text = format_va(pformat, ap);
  append(text.data(), text.size());
}

void PyStdoutJournal::FlushBufferImpl() { write(pending_.size(), true); }

void PyStdoutJournal::append(const char* text, std::size_t size) {
  pending_.append(text, size);
  const std::size_t last_newline = pending_.rfind('\n');
  if (last_newline != std::string::npos) write(last_newline + 1, false);
}

// Writes the first `size` bytes of the pending text. A stream that fails is
// reported once through the interpreter's unraisable hook and left alone
// for the rest of the run: the solve itself must not fail for its log. A
// KeyboardInterrupt or SystemExit is no failure of the stream but a request
// to stop the program (Ctrl-C's handler runs in the stream's Python code):
// the run stops for it.
void PyStdoutJournal::write(std::size_t size, bool flush) {
  if (!broken_) {
    // The solver may run without the interpreter lock.
    with_gil([&] {
      SavedError saved;
      if (!py_write_stdout(pending_.data(), size, flush)) {
        if (stop_request_ != nullptr && (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
                                         PyErr_ExceptionMatches(PyExc_SystemExit))) {
          saved.keep_current();
          *stop_request_ = true;
        } else {
          broken_ = true;
          PyErr_WriteUnraisable(nullptr);
        }
      }
      return true;
    });
  }
  pending_.erase(0, size);
}

OutputFileJournal::OutputFileJournal(const std::string& name)
    : Journal("OutputFile:" + name, Ipopt::J_NONE), file_name_(name) {}

OutputFileJournal::~OutputFileJournal() { close(); }

bool OutputFileJournal::open(bool append) {
  if (file_name_ == "stdout" || file_name_ == "stderr") {
    file_ = file_name_ == "stdout" ? stdout : stderr;
    return true;
  }
  file_ = std::fopen(file_name_.c_str(), append ? "a" : "w");
  owned_ = file_ != nullptr;
  return owned_;
}

std::string OutputFileJournal::close() {
  if (file_ != nullptr) {
    if (std::fflush(file_) != 0) note_failure();
    if (owned_ && std::fclose(file_) != 0) note_failure();
    file_ = nullptr;
    owned_ = false;
  }
  return failure_;
}

void OutputFileJournal::note_failure() {
  if (failure_.empty()) failure_ = std::strerror(errno);
}

void OutputFileJournal::PrintImpl(Ipopt::EJournalCategory, Ipopt::EJournalLevel, const char* str) {
  if (file_ != nullptr && std::fputs(str, file_) < 0) note_failure();
}

void OutputFileJournal::PrintfImpl(Ipopt::EJournalCategory, Ipopt::EJournalLevel,
                                   const char* pformat, va_list ap) {
  if (file_ != nullptr && std::vfprintf(file_, pformat, ap) < 0) note_failure();
}

void OutputFileJournal::FlushBufferImpl() {
  if (file_ != nullptr && std::fflush(file_) != 0) note_failure();
}

std::string output_file_problem(const std::string& name) {
  if (name == "stdout" || name == "stderr") return {};
  if (access(name.c_str(), F_OK) == 0) {
    return access(name.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
  }
  if (errno != ENOENT) return std::strerror(errno);
  const std::size_t slash = name.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : name.substr(0, slash == 0 ? 1 : slash);
  return access(folder.c_str(), W_OK | X_OK) == 0 ? std::string() : std::strerror(errno);
}

TextJournal::TextJournal() : Journal("text", Ipopt::J_ALL) {}

void TextJournal::PrintImpl(Ipopt::EJournalCategory, Ipopt::EJournalLevel, const char* str) {
  text_ += str;
}

void TextJournal::PrintfImpl(Ipopt::EJournalCategory, Ipopt::EJournalLevel, const char* pformat,
                             va_list ap) {
  text_ += format_va(pformat, ap);
}

}  // namespace vornel
