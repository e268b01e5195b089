// Prints what the Ipopt it is linked with registers, for comparison with
// vornel.get_ipopt_options(): for each option, five fields, each ended by a
// NUL byte: name, value type (float, int, str or none), category (empty
// when there is none), short and long description.
#include <IpoptConfig.h>
#include <IpIpoptApplication.hpp>
#include <IpRegOptions.hpp>

#include <cstdio>
#include <map>
#include <string>

using Ipopt::RegisteredOptions;
using Ipopt::SmartPtr;

namespace {

std::map<std::string, std::string> categories(const RegisteredOptions& registered) {
  std::map<std::string, std::string> found;
#if IPOPT_VERSION_MAJOR > 3 || (IPOPT_VERSION_MAJOR == 3 && IPOPT_VERSION_MINOR >= 14)
  RegisteredOptions::RegCategoriesByPriority by_priority;
  registered.RegisteredCategoriesByPriority(by_priority);
  for (const auto& category : by_priority) {
    for (const auto& option : category->RegisteredOptions()) {
      found[option->Name()] = category->Name();
    }
  }
#else
  for (const auto& entry : registered.RegisteredOptionsList()) {
    found[entry.first] = entry.second->RegisteringCategory();
  }
#endif
  return found;
}

const char* type_name(Ipopt::RegisteredOptionType type) {
  switch (type) {
    case Ipopt::OT_Number:
      return "float";
    case Ipopt::OT_Integer:
      return "int";
    case Ipopt::OT_String:
      return "str";
    default:
      return "none";
  }
}

void field(const std::string& text) { std::fwrite(text.c_str(), 1, text.size() + 1, stdout); }

}  // namespace

int main() {
  SmartPtr<Ipopt::IpoptApplication> app = new Ipopt::IpoptApplication();
  const SmartPtr<RegisteredOptions> registered = app->RegOptions();
  const std::map<std::string, std::string> category = categories(*registered);
  for (const auto& [name, option] : registered->RegisteredOptionsList()) {
    const auto found = category.find(name);
    field(name);
    field(type_name(option->Type()));
    field(found == category.end() ? std::string() : found->second);
    field(option->ShortDescription());
    field(option->LongDescription());
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
