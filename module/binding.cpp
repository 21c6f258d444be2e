#include "binding.hpp"

#include <cstring>
#include <string>

namespace velmora::py {
namespace {

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- the interpreter's list of missing names.
std::string name_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

}  // namespace

std::vector<PyObject*> bind(const FunctionDecl& function, PyObject* args, PyObject* kwargs) {
  const std::vector<ParamDecl>& params = function.params;
  std::size_t required = 0;
  while (required < params.size() && params[required].default_text == nullptr) ++required;
  const std::string fn = std::string(function.name) + "()";
  const std::size_t n_pos = args == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (n_pos > params.size()) {
    const std::string takes =
        required == params.size()
            ? std::to_string(params.size())
            : "from " + std::to_string(required) + " to " + std::to_string(params.size());
    raise(PyExc_TypeError, fn + " takes " + takes + " positional argument" +
                               (params.size() == 1 ? "" : "s") + " but " +
                               std::to_string(n_pos) + (n_pos == 1 ? " was" : " were") +
                               " given");
  }
  std::vector<PyObject*> bound(params.size(), nullptr);
  for (std::size_t i = 0; i < n_pos; ++i) bound[i] = PyTuple_GET_ITEM(args, i);

  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
      const char* name = PyUnicode_AsUTF8(key);
      if (name == nullptr) throw PythonError{};
      std::size_t i = 0;
      while (i < params.size() && std::strcmp(params[i].name, name) != 0) ++i;
      if (i == params.size()) {
        raise(PyExc_TypeError,
              fn + " got an unexpected keyword argument '" + std::string(name) + "'");
      }
      if (bound[i] != nullptr) {
        raise(PyExc_TypeError,
              fn + " got multiple values for argument '" + std::string(name) + "'");
      }
      bound[i] = value;
    }
  }

  std::vector<std::string> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (bound[i] == nullptr) missing.emplace_back(params[i].name);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, fn + " missing " + plural(missing.size(), "required positional argument") +
                               ": " + name_list(missing));
  }
  return bound;
}

}  // namespace velmora::py
