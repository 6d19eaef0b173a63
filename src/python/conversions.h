// The one rule by which core values become Python objects, and the one place
// where core failures become Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/error.h"
#include "model/signal_value.h"

namespace velk::py {

// Bits -> int, WideBits -> int of word 0 (0 when empty), Real -> float,
// Str -> str, Logic and Empty -> None. New reference, or nullptr on memory failure.
PyObject* value_to_python(const SignalValue& value);

// A str from text a reader stored (invalid UTF-8 replaced). New reference,
// or nullptr on memory failure.
PyObject* text_to_str(std::string_view text);

// A list of str, one per text of `texts` (strings or views, with size() and
// operator[]). New reference, or nullptr on memory failure.
template <class Texts>
PyObject* texts_to_list(const Texts& texts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* s = text_to_str(texts[i]);
    if (!s) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

// The one place where a reader's Error becomes a Python exception: ValueError
// with the message unchanged; the error's note (offset, field, detail), when
// there is one, is added to the exception as a note (add_note on 3.11+, the
// __notes__ list on 3.10) so that a traceback shows where the file went wrong.
PyObject* raise_reader_error(const Error& error);

// Runs `body`, turning any C++ exception into a Python exception so that none
// crosses into the interpreter: bad_alloc becomes MemoryError.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
    return nullptr;
  }
}

}  // namespace velk::py
