#include "convert.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora::py {
namespace {

std::string str_of(PyObject* obj) {
  Ref text(PyObject_Str(obj));
  if (!text) {
    PyErr_Clear();
    return "<unprintable>";
  }
  const char* utf8 = PyUnicode_AsUTF8(text.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return utf8;
}

// Replaces a pending TypeError by one whose message starts with "argument '<name>': ", keeping
// the cause of the original error.  Other pending errors are left as they are.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  const std::string message =
      std::string("argument '") + name + "': " + (value ? str_of(value) : std::string());
  Ref replacement(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!replacement) return;  // the failure to build it is the pending error now
  if (value != nullptr) {
    if (PyObject* cause = PyException_GetCause(value)) {
      PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

template <class F>
auto converting(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

bool is_numpy_bool(PyObject* obj) { return PyArray_IsScalar(obj, Bool); }

bool to_bool(PyObject* obj, const char* what) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw PythonError{};
    return truth != 0;
  }
  raise(PyExc_TypeError, std::string("expected ") + what + ", got '" + type_name(obj) + "'");
}

double to_double(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

// Iterates a sequence argument that is not a str, calling `item` for each element.
template <class F>
void for_each_item(PyObject* obj, const char* expected, F&& item) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) {
    raise(PyExc_TypeError,
          std::string("expected ") + expected + ", got '" + type_name(obj) + "'");
  }
  Ref iterator(check(PyObject_GetIter(obj)));
  std::size_t index = 0;
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Ref element(raw);
    item(element.get(), index++);
  }
  if (PyErr_Occurred()) throw PythonError{};
}

// The reason a value is not a one-dimensional float64 array, or empty when it is one.
std::string array_problem(PyObject* obj) {
  if (!PyArray_Check(obj)) {
    return "expected a one-dimensional float64 numpy.ndarray, got '" + type_name(obj) + "'";
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 1) {
    return "expected a one-dimensional array, got an array with " +
           std::to_string(PyArray_NDIM(array)) + " dimensions";
  }
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  const bool same = PyArray_EquivTypes(PyArray_DESCR(array), float64);
  Py_DECREF(float64);
  if (!same) {
    return "expected an array of dtype float64, got dtype " +
           str_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
  }
  return {};
}

// The value of an omitted optional flag, read from its default as the signature shows it.
bool default_flag(const char* text) { return std::strcmp(text, "True") == 0; }

}  // namespace

std::vector<double> copy_elements(PyArrayObject* array) {
  const npy_intp n = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* base = PyArray_BYTES(array);
  std::vector<double> values(static_cast<std::size_t>(n));
  for (npy_intp i = 0; i < n; ++i) std::memcpy(&values[i], base + i * stride, sizeof(double));
  return values;
}

Arguments::Arguments(const FunctionDecl& function, PyObject* args, PyObject* kwargs)
    : function_(function) {
  const std::vector<PyObject*> bound = bind(function, args, kwargs);
  values_.reserve(bound.size());
  for (std::size_t i = 0; i < bound.size(); ++i) {
    values_.push_back(convert(function.params[i], bound[i]));
  }
}

std::vector<double> Arguments::copy_array(const ParamDecl& param, PyObject* obj, bool in_place,
                                          PyArrayObject** out) {
  converting(param.name, [&] {
    const std::string problem = array_problem(obj);
    if (!problem.empty()) raise(PyExc_TypeError, problem);
  });
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (in_place && !PyArray_ISWRITEABLE(array)) {
    raise_internal(std::string("array given as '") + param.name +
                   "' is not writeable; the fitted values are written into it");
  }
  reservations_.reserve(array, in_place, param.name);
  *out = array;
  return copy_elements(array);
}

Arguments::Value Arguments::convert(const ParamDecl& param, PyObject* obj) {
  const char* name = param.name;
  switch (param.kind) {
    case Kind::read_only_array: {
      PyArrayObject* array = nullptr;
      return copy_array(param, obj, false, &array);
    }
    case Kind::in_place_array: {
      InPlaceArray result{nullptr, {}};
      result.values = copy_array(param, obj, true, &result.array);
      return result;
    }
    case Kind::flag_list:
      return converting(name, [&] {
        Flags flags;
        for_each_item(obj, "a sequence of bools", [&](PyObject* item, std::size_t index) {
          if (!PyBool_Check(item) && !is_numpy_bool(item)) {
            raise(PyExc_TypeError, "item " + std::to_string(index) + ": expected bool, got '" +
                                       type_name(item) + "'");
          }
          flags.push_back(to_bool(item, "bool") ? 1 : 0);
        });
        return flags;
      });
    case Kind::flag:
      if (obj == nullptr) return default_flag(param.default_text);
      return converting(name, [&] { return to_bool(obj, "bool"); });
    case Kind::real:
      if (obj == nullptr) return std::strtod(param.default_text, nullptr);
      return converting(name, [&] { return to_double(obj); });
    case Kind::count:
      return converting(name, [&] {
        Ref index(check(PyNumber_Index(obj)));
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          throw PythonError{};
        }
        return static_cast<std::uint64_t>(value);
      });
    case Kind::background_code:
      if (obj == nullptr) {
        return static_cast<std::uint8_t>(std::strtoul(param.default_text, nullptr, 10));
      }
      return converting(name, [&] {
        Ref index(check(PyNumber_Index(obj)));
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw PythonError{};
        if (overflow != 0 || value < 0 || value > 255) {
          raise(PyExc_OverflowError, "out of range integral type conversion attempted");
        }
        return static_cast<std::uint8_t>(value);
      });
    case Kind::basis_list:
      if (obj == nullptr || obj == Py_None) return BasisList{};
      return converting(name, [&] {
        BasisList basis;
        for_each_item(obj, "a sequence of sequences of floats", [&](PyObject* row, std::size_t) {
          if (PyArray_Check(row) && array_problem(row).empty()) {
            basis.push_back(copy_elements(reinterpret_cast<PyArrayObject*>(row)));
            return;
          }
          std::vector<double> values;
          for_each_item(row, "a sequence of floats",
                        [&](PyObject* item, std::size_t) { values.push_back(to_double(item)); });
          basis.push_back(std::move(values));
        });
        return basis;
      });
    case Kind::callable:
      if (obj == Py_None) return static_cast<PyObject*>(nullptr);
      if (PyCallable_Check(obj) == 0) {
        raise(PyExc_TypeError, std::string("argument '") + name +
                                   "': expected None or a callable, got '" + type_name(obj) + "'");
      }
      return obj;
    case Kind::model:
      if (PyCapsule_IsValid(obj, kModelCapsule) == 0) {
        raise(PyExc_TypeError, std::string("argument '") + name +
                                   "': expected a model made by _engine_model, got '" +
                                   type_name(obj) + "'");
      }
      return static_cast<const EngineModel*>(PyCapsule_GetPointer(obj, kModelCapsule));
    case Kind::mapping:
      if (PyDict_Check(obj) == 0) {
        raise(PyExc_TypeError, std::string("argument '") + name + "': expected a dict, got '" +
                                   type_name(obj) + "'");
      }
      return obj;
  }
  raise(PyExc_SystemError, std::string("velmora_core: parameter '") + name + "' has no kind");
}

template <class T>
T& Arguments::value(const char* name) {
  const std::size_t i = function_.index_of(name);
  T* v = i < values_.size() ? std::get_if<T>(&values_[i]) : nullptr;
  if (v == nullptr) {
    raise(PyExc_SystemError, std::string("velmora_core: ") + function_.name +
                                 " has no parameter '" + name + "' of the kind asked for");
  }
  return *v;
}

const std::vector<double>& Arguments::array(const char* name) {
  return value<std::vector<double>>(name);
}
InPlaceArray& Arguments::in_place(const char* name) { return value<InPlaceArray>(name); }
Flags Arguments::flag_list(const char* name) { return std::move(value<Flags>(name)); }
bool Arguments::flag(const char* name) { return value<bool>(name); }
double Arguments::real(const char* name) { return value<double>(name); }
std::uint64_t Arguments::count(const char* name) { return value<std::uint64_t>(name); }
std::uint8_t Arguments::background_code(const char* name) { return value<std::uint8_t>(name); }
BasisList Arguments::basis_list(const char* name) { return std::move(value<BasisList>(name)); }
PyObject* Arguments::callable(const char* name) { return value<PyObject*>(name); }
const engine::Model& Arguments::model(const char* name) {
  return value<const EngineModel*>(name)->model;
}
const EngineModel& Arguments::engine_model(const char* name) {
  return *value<const EngineModel*>(name);
}
PyObject* Arguments::mapping(const char* name) { return value<PyObject*>(name); }

void write_back(const InPlaceArray& target, std::span<const double> values) {
  PyArrayObject* array = target.array;
  const npy_intp n = std::min<npy_intp>(PyArray_DIM(array, 0), static_cast<npy_intp>(values.size()));
  const npy_intp stride = PyArray_STRIDE(array, 0);
  char* base = PyArray_BYTES(array);
  for (npy_intp i = 0; i < n; ++i) std::memcpy(base + i * stride, &values[i], sizeof(double));
}

}  // namespace velmora::py
