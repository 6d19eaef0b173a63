#include "py_expr.h"

#include <new>
#include <utility>

#include "arguments.h"
#include "conversions.h"
#include "type_setup.h"

namespace velk::py {
namespace {

struct ExprObject {
  PyObject_HEAD
  Expr expr;
};

PyTypeObject* g_expr_type = nullptr;  // created once per process, never freed

PyObject* wrap(Expr expr) {
  auto* self = PyObject_New(ExprObject, g_expr_type);
  if (!self) return nullptr;
  new (&self->expr) Expr(std::move(expr));
  return reinterpret_cast<PyObject*>(self);
}

void expr_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<ExprObject*>(obj)->expr.~Expr();
  PyObject_Free(obj);
  Py_DECREF(type);
}

const Expr& tree_of(PyObject* self) { return reinterpret_cast<ExprObject*>(self)->expr; }

// --- static constructors ---------------------------------------------------

PyObject* expr_signal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("signal", args, nargs, kwnames, {"id"}, argv)) return nullptr;
  const auto id = to_u32(argv[0], "id");
  if (!id) return nullptr;
  return guarded([&] { return wrap(Expr::signal(*id)); });
}

PyObject* expr_const_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("const_int", args, nargs, kwnames, {"val"}, argv)) return nullptr;
  const auto val = to_u64(argv[0], "val");
  if (!val) return nullptr;
  return guarded([&] { return wrap(Expr::constant(SignalValue::bits(*val))); });
}

PyObject* expr_const_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("const_float", args, nargs, kwnames, {"val"}, argv)) return nullptr;
  const auto val = to_f64(argv[0], "val");
  if (!val) return nullptr;
  return guarded([&] { return wrap(Expr::constant(SignalValue::real(*val))); });
}

PyObject* expr_const_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("const_str", args, nargs, kwnames, {"val"}, argv)) return nullptr;
  const auto val = to_text(argv[0], "val");
  if (!val) return nullptr;
  return guarded([&] { return wrap(Expr::constant(SignalValue::str(*val))); });
}

PyObject* expr_always_true(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments("always_true", args, nargs, kwnames, {}, nullptr)) return nullptr;
  return guarded([] { return wrap(Expr::always_true()); });
}

// --- builders --------------------------------------------------------------

template <Expr::Kind kind, const char* name>
PyObject* unary_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!bind_arguments(name, args, nargs, kwnames, {}, nullptr)) return nullptr;
  return guarded([&] { return wrap(Expr::unary(kind, tree_of(self))); });
}

template <Expr::Kind kind, const char* name>
PyObject* binary_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments(name, args, nargs, kwnames, {"other"}, argv)) return nullptr;
  const Expr* other = expr_argument(argv[0], "other");
  if (!other) return nullptr;
  // Copying shares the operands' nodes (they are immutable), so building is
  // O(1) whatever the size of the operands.
  return guarded([&] {
    Expr left = tree_of(self);
    Expr right = *other;
    return wrap(Expr::binary(kind, std::move(left), std::move(right)));
  });
}

// Method names, needed as template arguments for the error messages.
constexpr char kNot[] = "not_", kSigned[] = "signed", kIsX[] = "is_x", kIsZ[] = "is_z";
constexpr char kAnd[] = "and_", kOr[] = "or_", kEq[] = "eq_", kNeq[] = "neq", kGt[] = "gt_", kLt[] = "lt_";
constexpr char kGte[] = "gte", kLte[] = "lte", kAdd[] = "add", kSub[] = "sub";
constexpr char kBitAnd[] = "bit_and", kBitOr[] = "bit_or", kBitXor[] = "bit_xor";

PyObject* expr_rel_eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_arguments("rel_eval", args, nargs, kwnames, {"offset"}, argv)) return nullptr;
  const auto offset = to_i64(argv[0], "offset");
  if (!offset) return nullptr;
  return guarded([&] { return wrap(Expr::rel_eval(tree_of(self), *offset)); });
}

PyObject* expr_slice(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  if (!bind_arguments("slice", args, nargs, kwnames, {"high", "low"}, argv)) return nullptr;
  const auto high = to_u32(argv[0], "high");
  if (!high) return nullptr;
  const auto low = to_u32(argv[1], "low");
  if (!low) return nullptr;
  return guarded([&] { return wrap(Expr::slice(*high, *low, tree_of(self))); });
}

PyMethodDef expr_methods[] = {
    {"signal", fastcall<expr_signal>(), kStatic, "signal(id)\n--\n\n"},
    {"const_int", fastcall<expr_const_int>(), kStatic, "const_int(val)\n--\n\n"},
    {"const_float", fastcall<expr_const_float>(), kStatic, "const_float(val)\n--\n\n"},
    {"const_str", fastcall<expr_const_str>(), kStatic, "const_str(val)\n--\n\n"},
    {"always_true", fastcall<expr_always_true>(), kStatic, "always_true()\n--\n\n"},
    {"rel_eval", fastcall<expr_rel_eval>(), kMethod, "rel_eval($self, offset)\n--\n\n"},
    {"not_", fastcall<unary_method<Expr::Kind::Not, kNot>>(), kMethod, "not_($self)\n--\n\n"},
    {"and_", fastcall<binary_method<Expr::Kind::And, kAnd>>(), kMethod, "and_($self, other)\n--\n\n"},
    {"or_", fastcall<binary_method<Expr::Kind::Or, kOr>>(), kMethod, "or_($self, other)\n--\n\n"},
    {"eq_", fastcall<binary_method<Expr::Kind::Eq, kEq>>(), kMethod, "eq_($self, other)\n--\n\n"},
    {"neq", fastcall<binary_method<Expr::Kind::Neq, kNeq>>(), kMethod, "neq($self, other)\n--\n\n"},
    {"gt_", fastcall<binary_method<Expr::Kind::Gt, kGt>>(), kMethod, "gt_($self, other)\n--\n\n"},
    {"lt_", fastcall<binary_method<Expr::Kind::Lt, kLt>>(), kMethod, "lt_($self, other)\n--\n\n"},
    {"gte", fastcall<binary_method<Expr::Kind::Gte, kGte>>(), kMethod, "gte($self, other)\n--\n\n"},
    {"lte", fastcall<binary_method<Expr::Kind::Lte, kLte>>(), kMethod, "lte($self, other)\n--\n\n"},
    {"add", fastcall<binary_method<Expr::Kind::Add, kAdd>>(), kMethod, "add($self, other)\n--\n\n"},
    {"sub", fastcall<binary_method<Expr::Kind::Sub, kSub>>(), kMethod, "sub($self, other)\n--\n\n"},
    {"bit_and", fastcall<binary_method<Expr::Kind::BitAnd, kBitAnd>>(), kMethod, "bit_and($self, other)\n--\n\n"},
    {"bit_or", fastcall<binary_method<Expr::Kind::BitOr, kBitOr>>(), kMethod, "bit_or($self, other)\n--\n\n"},
    {"bit_xor", fastcall<binary_method<Expr::Kind::BitXor, kBitXor>>(), kMethod, "bit_xor($self, other)\n--\n\n"},
    {"slice", fastcall<expr_slice>(), kMethod, "slice($self, high, low)\n--\n\n"},
    {"signed", fastcall<unary_method<Expr::Kind::Signed, kSigned>>(), kMethod, "signed($self)\n--\n\n"},
    {"is_x", fastcall<unary_method<Expr::Kind::IsX, kIsX>>(), kMethod, "is_x($self)\n--\n\n"},
    {"is_z", fastcall<unary_method<Expr::Kind::IsZ, kIsZ>>(), kMethod, "is_z($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot expr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
    {Py_tp_methods, expr_methods},
    {0, nullptr},
};

PyType_Spec expr_spec = {
    "velk._core.PyExpr", sizeof(ExprObject), 0, static_cast<unsigned int>(kClassFlags), expr_slots,
};

}  // namespace

PyObject* expr_type() { return process_type(g_expr_type, &expr_spec); }

const Expr* expr_argument(PyObject* obj, const char* name) {
  if (!g_expr_type || !PyObject_TypeCheck(obj, g_expr_type)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected PyExpr, got %s", name, Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  return &tree_of(obj);
}

}  // namespace velk::py
