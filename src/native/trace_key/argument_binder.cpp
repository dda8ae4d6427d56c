#include "argument_binder.hpp"

#include <cstring>

#include "py_compat.hpp"

namespace merrow::trace_key {

namespace {

void set_count_error(const OperationSpec& op, Py_ssize_t given)
{
    const CountWording& wording = given < 1 ? op.below_one : op.otherwise;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 op.name, wording.word, wording.count, wording.plural, given);
}

void set_type_error(PyObject* parameter, const char* expected, PyObject* value)
{
    const char* text = PyUnicode_AsUTF8(parameter);
    if (!text) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 text, expected, Py_TYPE(value)->tp_name);
}

// Equal by value, for two exact str objects whose hashes are cached.
bool same_text(PyObject* a, PyObject* b)
{
    if (PyObject_Hash(a) != PyObject_Hash(b)) {
        return false;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// 1 when `keyword` names `parameter`, 0 when not, -1 when == raised.
int keyword_matches(PyObject* keyword, PyObject* parameter, bool exact)
{
    if (exact && compat::text_is_ready(keyword)) {
        return same_text(keyword, parameter) ? 1 : 0;
    }
    return PyObject_RichCompareBool(keyword, parameter, Py_EQ);
}

// Index in [first, last) of the parameter that `keyword` names, -1 for none,
// -2 when a comparison raised.
int find_parameter(const OperationSpec& op, PyObject* keyword, bool exact, int first, int last)
{
    for (int j = first; j < last; ++j) {
        const int match = keyword_matches(keyword, name(op.parameters[j]), exact);
        if (match != 0) {
            return match > 0 ? j : -2;
        }
    }
    return -1;
}

// The parameter from `first` on that is `keyword` itself; -1 for none.
int same_name_index(const OperationSpec& op, PyObject* keyword, int first)
{
    for (int j = first; j < op.parameter_count; ++j) {
        if (name(op.parameters[j]) == keyword) {
            return j;
        }
    }
    return -1;
}

// Binds one keyword value; -1 with the exception set when it cannot be bound.
// `index`: what same_name_index found for it.
[[gnu::noinline]] int bind_keyword(const OperationSpec& op, PyObject* keyword, PyObject* value,
                                   int nargs, int index, BoundCall& call)
{
    const int count = op.parameter_count;
    if (index < 0) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", op.name);
            return -1;
        }
        const bool exact = PyUnicode_CheckExact(keyword);
        index = find_parameter(op, keyword, exact, nargs, count);
        if (index == -1) {
            // A parameter given by position already, or none.
            index = find_parameter(op, keyword, exact, 0, nargs);
            if (index == -1) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             op.name, keyword);
            }
        }
        if (index < 0) {
            return -1;
        }
    }
    if (call.values[index]) {
        // Given by position, or named twice by a hand-made keyword tuple.
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     op.name, keyword);
        return -1;
    }
    call.values[index] = value;
    return 0;
}

// The last parameter, not given: its default, if it has one.
void bind_default(const Binding& binding, BoundCall& call)
{
    const OperationSpec& op = binding.op;
    const int last = op.parameter_count - 1;
    switch (op.default_source) {
    case DefaultSource::false_value:
        call.values[last] = Py_False;
        break;
    case DefaultSource::token_record:
        call.values[last] = binding.default_token;
        break;
    case DefaultSource::none:
        break;
    }
}

// int() of a number; refuses what is not one.
BindResult convert_integer(PyObject* parameter, BoundCall& call, int index)
{
    PyObject* value = call.values[index];
    if (PyLong_CheckExact(value)) {
        return BindResult::bound;
    }
    if (!PyNumber_Check(value)) {
        set_type_error(parameter, "int", value);
        return BindResult::failed;
    }
    call.converted = OwnedRef::steal(PyNumber_Long(value));
    if (!call.converted) {
        return BindResult::failed;
    }
    call.values[index] = call.converted.get();
    return BindResult::bound;
}

// A value that does not pass unchanged: apply_rules settles those (an
// exact str for `exact_str`, False for `truth`).
[[gnu::noinline]] BindResult apply_rule(const OperationSpec& op, BoundCall& call, int index)
{
    PyObject* value = call.values[index];
    PyObject* parameter = name(op.parameters[index]);
    switch (op.rules[index]) {
    case Rule::integer:
        return convert_integer(parameter, call, index);
    case Rule::truth: {
        if (value == Py_True || value == Py_False || value == Py_None) {
            call.truth = value == Py_True;
            return BindResult::bound;
        }
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            return BindResult::failed;
        }
        call.truth = truth != 0;
        return BindResult::bound;
    }
    default:
        set_type_error(parameter, "str", value);
        return BindResult::type_error;
    }
}

BindResult apply_rules(const Binding& binding, BoundCall& call)
{
    const OperationSpec& op = binding.op;
    const int checked = binding.checked_count;
    for (int i = 0; i < checked; ++i) {
        const int index = op.check_order[i];
        const Rule rule = op.rules[index];
        // What passes unchanged is settled here (False leaves the truth as
        // binding starts it: false); the rest, in apply_rule.
        // Only the first `checked` entries have rules: `any` is never met.
        const bool passes = (rule == Rule::exact_str && PyUnicode_CheckExact(call.values[index])) ||
                            (rule == Rule::truth && call.values[index] == Py_False);
        if (passes) {
            continue;
        }
        const BindResult result = apply_rule(op, call, index);
        if (result != BindResult::bound) {
            return result;
        }
    }
    return BindResult::bound;
}

// At most kMaxParameters values: copied one by one, not through a call
// to memcpy, which costs more than the copies.
void copy_positional(PyObject* const* args, int n, BoundCall& call)
{
    static_assert(kMaxParameters == 3);
    switch (n) {
    case 3:
        call.values[2] = args[2];
        [[fallthrough]];
    case 2:
        call.values[1] = args[1];
        [[fallthrough]];
    case 1:
        call.values[0] = args[0];
        break;
    default:
        break;
    }
}

// Keyword names given: each is matched against the parameter table.
BindResult bind_with_keywords(const Binding& binding, PyObject* const* args, int n,
                              PyObject* kwnames, BoundCall& call)
{
    const OperationSpec& op = binding.op;
    if (n > op.parameter_count) {
        set_count_error(op, n);
        return BindResult::failed;
    }
    copy_positional(args, n, call);
    const Py_ssize_t k = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        // Keywords written in the source are the interned names themselves.
        const int index = same_name_index(op, keyword, n);
        if (index >= 0 && !call.values[index]) {
            call.values[index] = args[n + i];
        } else if (bind_keyword(op, keyword, args[n + i], n, index, call) < 0) {
            return BindResult::failed;
        }
    }
    if (!call.values[op.parameter_count - 1]) {
        bind_default(binding, call);
    }
    for (int j = n; j < op.required_count; ++j) {
        if (!call.values[j]) {
            set_count_error(op, j);
            return BindResult::failed;
        }
    }
    return apply_rules(binding, call);
}

}  // namespace

BindResult bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, BoundCall& call)
{
    const OperationSpec& op = binding.op;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        return bind_with_keywords(binding, args, static_cast<int>(nargs), kwnames, call);
    }
    if (nargs < op.required_count || nargs > op.parameter_count) {
        set_count_error(op, nargs);
        return BindResult::failed;
    }
    const int n = static_cast<int>(nargs);
    copy_positional(args, n, call);
    // Only the last parameter is ever optional.
    if (n < op.parameter_count) {
        bind_default(binding, call);
    }
    return apply_rules(binding, call);
}

}  // namespace merrow::trace_key
