#include "solver/option_catalogue.hpp"

#include <IpIpoptApplication.hpp>

#include "convert/conversions.hpp"
#include "convert/py_ref.hpp"
#include "solver/ipopt_compat.hpp"

namespace vornel {

const char py_get_ipopt_options_doc[] =
    "\n"
    "get_ipopt_options() -> list[dict[str, Any]]\n"
    "\n"
    "Get a list of all Ipopt options.\n"
    "\n"
    "Each option is described by a dict with the keys::\n"
    "\n"
    "    name: str\n"
    "    type: Union[Type[int], Type[float], Type[str], None]\n"
    "    description_short: str\n"
    "    description_long: str\n"
    "    category: str\n";

const char py_linear_solvers_doc[] =
    "\n"
    "linear_solvers() -> dict[str, str]\n"
    "\n"
    "The linear solvers this vornel can use, by the value of the option\n"
    "linear_solver that selects each, and how each is had:\n"
    "\n"
    "- \"built in\": linked into the Ipopt library vornel runs on;\n"
    "- \"hsllib\" or \"pardisolib\" (Ipopt 3.14 and later): loaded when a solve\n"
    "  asks for it, from the library that option names (for instance\n"
    "  set(linear_solver=\"ma57\", hsllib=\"/opt/coinhsl/lib/libcoinhsl.so\"));\n"
    "- \"libhsl.so\" or \"libpardiso.so\" (earlier Ipopt): loaded when a solve\n"
    "  asks for it, from the library of that name on the dynamic loader's path.\n"
    "\n"
    "A solver that must be loaded is listed whether or not its library is\n"
    "installed: without it, a solve that selects it ends with status -12\n"
    "(Invalid_Option) and the loader's reason in the log.\n";

namespace {

IpoptOption::Type from_ipopt_type(Ipopt::RegisteredOptionType type) {
  switch (type) {
    case Ipopt::OT_Number:
      return IpoptOption::Type::Number;
    case Ipopt::OT_Integer:
      return IpoptOption::Type::Integer;
    case Ipopt::OT_String:
      return IpoptOption::Type::String;
    default:
      return IpoptOption::Type::Unknown;
  }
}

// The Python type of an option's value, as the docstring lists it.
PyObject* py_value_type(IpoptOption::Type type) {
  switch (type) {
    case IpoptOption::Type::Number:
      return reinterpret_cast<PyObject*>(&PyFloat_Type);
    case IpoptOption::Type::Integer:
      return reinterpret_cast<PyObject*>(&PyLong_Type);
    case IpoptOption::Type::String:
      return reinterpret_cast<PyObject*>(&PyUnicode_Type);
    default:
      return Py_None;
  }
}

PyObject* py_option_dict(const IpoptOption& option) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  using detail::py_dict_add_key_val_pairs;
  using Text = std::tuple<const char*, const char*>;
  const bool complete =
      py_dict_add_key_val_pairs(dict.get(), Text{"name", option.name.c_str()}) &&
      PyDict_SetItemString(dict.get(), "type", py_value_type(option.type)) == 0 &&
      py_dict_add_key_val_pairs(dict.get(),
                                Text{"description_short", option.description_short.c_str()}) &&
      py_dict_add_key_val_pairs(dict.get(),
                                Text{"description_long", option.description_long.c_str()}) &&
      py_dict_add_key_val_pairs(dict.get(), Text{"category", option.category.c_str()});
  return complete ? dict.release() : nullptr;
}

// Options registered outside any category get the empty string.
std::string category_of(const std::map<std::string, std::string>& categories,
                        const std::string& name) {
  const auto found = categories.find(name);
  return found == categories.end() ? std::string() : found->second;
}

}  // namespace

std::vector<IpoptOption> get_ipopt_options() {
  Ipopt::SmartPtr<Ipopt::IpoptApplication> app = IpoptApplicationFactory();
  // Only the registry is read; the application has nothing to say.
  app->Jnlst()->DeleteAllJournals();
  Ipopt::SmartPtr<Ipopt::RegisteredOptions> registered = app->RegOptions();
  const auto& table = registered->RegisteredOptionsList();
  const std::map<std::string, std::string> categories = compat::option_categories(*registered);
  std::vector<IpoptOption> options;
  options.reserve(table.size());
  for (const auto& [name, option] : table) {
    options.push_back(IpoptOption{option->Name(), from_ipopt_type(option->Type()),
                                  option->ShortDescription(), option->LongDescription(),
                                  category_of(categories, name)});
  }
  return options;
}

std::string default_linear_solver() {
  Ipopt::SmartPtr<Ipopt::IpoptApplication> app = IpoptApplicationFactory();
  Ipopt::SmartPtr<const Ipopt::RegisteredOption> option =
      app->RegOptions()->GetOption("linear_solver");
  return Ipopt::IsValid(option) ? option->DefaultString() : std::string();
}

extern "C" PyObject* py_get_ipopt_options(PyObject*, PyObject*) {
  const std::vector<IpoptOption> options = get_ipopt_options();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(options.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < options.size(); ++i) {
    PyObject* dict = py_option_dict(options[i]);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
  }
  return list.release();
}

extern "C" PyObject* py_linear_solvers(PyObject*, PyObject*) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const compat::LinearSolver& solver : compat::linear_solvers()) {
    PyRef source = PyRef::steal(PyUnicode_FromString(solver.source));
    if (!source || PyDict_SetItemString(dict.get(), solver.name, source.get()) != 0) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace vornel
