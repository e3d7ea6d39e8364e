// Argument matching with the interpreter's own message forms.
#include "binding/arguments.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/errors.hpp"

namespace allotra::binding {

namespace {

struct Keyword {
    PyObject* name;   // a str
    PyObject* value;
};

[[noreturn]] void fail_with(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// Keyword names may hold any character (a NUL, a lone surrogate), so the
// message is formatted by the interpreter rather than through UTF-8.
[[noreturn]] void fail_with_name(const Signature& signature, const char* what, PyObject* name) {
    PyObject* message = PyUnicode_FromFormat("%s %s '%U'", signature.function, what, name);
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    throw PythonErrorSet{};
}

std::ptrdiff_t parameter_index(const Signature& signature, PyObject* name) {
    for (std::size_t k = 0; k < signature.parameters.size(); ++k) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, signature.parameters[k]) == 0) {
            return static_cast<std::ptrdiff_t>(k);
        }
    }
    return -1;
}

std::string missing_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) {
            if (names.size() > 2) text += ",";
            text += k + 1 == names.size() ? " and " : " ";
        }
        text += "'";
        text += names[k];
        text += "'";
    }
    return text;
}

void match(const Signature& signature, PyObject* const* positional, Py_ssize_t count,
           const std::vector<Keyword>& keywords, std::span<PyObject*> out) {
    const std::size_t n = std::min(signature.parameters.size(), signature.positional);
    const std::size_t k = static_cast<std::size_t>(count);
    if (k > n) {
        std::string message = signature.function;
        if (signature.required == n) {
            message += " takes " + std::to_string(n);
        } else {
            message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(n);
        }
        const bool singular = signature.singular_for_one && signature.required == n && n == 1;
        message += singular ? " positional argument but " : " positional arguments but ";
        message += std::to_string(k) + (k == 1 ? " was" : " were") + " given";
        fail_with(message);
    }
    for (std::size_t p = 0; p < out.size(); ++p) out[p] = p < k ? positional[p] : nullptr;

    for (const Keyword& keyword : keywords) {
        std::ptrdiff_t p = parameter_index(signature, keyword.name);
        if (p >= 0 && static_cast<std::size_t>(p) < k) {
            fail_with_name(signature, "got multiple values for argument", keyword.name);
        }
    }
    for (const Keyword& keyword : keywords) {
        std::ptrdiff_t p = parameter_index(signature, keyword.name);
        if (p < 0) {
            fail_with_name(signature, "got an unexpected keyword argument", keyword.name);
        }
        out[static_cast<std::size_t>(p)] = keyword.value;
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p < signature.required; ++p) {
        if (out[p] == nullptr) missing.push_back(signature.parameters[p]);
    }
    if (!missing.empty()) {
        fail_with(std::string(signature.function) + " missing " + std::to_string(missing.size()) +
                  " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                  missing_list(missing));
    }
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    std::vector<Keyword> keywords;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) keywords.push_back({name, value});
    }
    match(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), keywords, out);
}

void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
    Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    std::vector<Keyword> keywords;
    if (kwnames != nullptr) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            keywords.push_back({PyTuple_GET_ITEM(kwnames, k), args[positional + k]});
        }
    }
    match(signature, args, positional, keywords, out);
}

}  // namespace allotra::binding
