#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "functions.hpp"

namespace velmora::py {
namespace {

std::vector<FunctionEntry>& registered() {
  static std::vector<FunctionEntry> entries;
  return entries;
}

}  // namespace

void register_function(const FunctionEntry& entry) { registered().push_back(entry); }

std::vector<std::pair<const FunctionDecl*, PyCFunctionWithKeywords>> module_functions() {
  std::vector<std::pair<const FunctionDecl*, PyCFunctionWithKeywords>> ordered;
  for (const FunctionDecl& decl : declarations()) {
    const FunctionEntry* body = nullptr;
    for (const FunctionEntry& entry : registered()) {
      if (std::string_view(entry.name) == decl.name) body = &entry;
    }
    if (body == nullptr) {
      throw std::logic_error(std::string("velmora_core: no body for ") + decl.name);
    }
    *body->declaration = &decl;
    ordered.emplace_back(&decl, body->call);
  }
  if (ordered.size() != registered().size()) {
    throw std::logic_error("velmora_core: a registered function has no declaration");
  }
  return ordered;
}

}  // namespace velmora::py
