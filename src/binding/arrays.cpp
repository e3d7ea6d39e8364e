// NumPy arrays copied into matrices, and matrices into new arrays.
#include "binding/arrays.hpp"

#include <cstdlib>
#include <cstring>

#include "binding/errors.hpp"
#include "binding/numpy.hpp"
#include "binding/py_ref.hpp"
#include "solvers/best_of_batch.hpp"

namespace allotra::binding {

namespace {

constexpr const char* array_target = "PyArray<T, D>";

bool has_element_type(PyArrayObject* array, int type_number) {
    PyArray_Descr* expected = PyArray_DescrFromType(type_number);
    if (expected == nullptr) throw PythonErrorSet{};
    bool same = PyArray_EquivTypes(PyArray_DESCR(array), expected) != 0;
    Py_DECREF(expected);
    return same;
}

// Element stride of one axis; an axis of length 0 or 1 never moves, so its
// byte stride may be anything and is replaced by the row-major one.
bool element_stride(npy_intp length, npy_intp byte_stride, std::int64_t row_major, std::int64_t& out) {
    if (length <= 1) {
        out = row_major;
        return true;
    }
    if (byte_stride % 8 != 0) return false;
    out = byte_stride / 8;
    return true;
}

// The data of a masked array under a masked entry is whatever was left there:
// copying it would make values up. Only a subclass of ndarray can be masked,
// and only once something has imported numpy.ma, which is therefore looked
// up, never imported: a plain array costs one type check.
bool has_masked_entries(PyObject* object) {
    if (PyArray_CheckExact(object)) return false;
    PyObject* ma = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy.ma");  // borrowed
    if (ma == nullptr || ma == Py_None) return false;
    const PyRef module = PyRef::borrow(ma);
    const PyRef is_masked(check(PyObject_GetAttrString(module.get(), "is_masked")));
    const PyRef answer(check(PyObject_CallOneArg(is_masked.get(), object)));
    const int masked = PyObject_IsTrue(answer.get());
    if (masked < 0) throw PythonErrorSet{};
    return masked == 1;
}

template <typename T>
Matrix<T> copy_array(PyObject* object, const char* name, int type_number) {
    ensure_numpy_api();
    if (!PyArray_Check(object)) throw_conversion_error(name, object, array_target);
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2 || !has_element_type(array, type_number)) {
        throw_conversion_error(name, object, array_target);
    }
    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto rows = static_cast<std::uint64_t>(shape[0]);
    const auto cols = static_cast<std::uint64_t>(shape[1]);
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 0;
    if (!element_stride(shape[0], strides[0], static_cast<std::int64_t>(cols), row_stride) ||
        !element_stride(shape[1], strides[1], 1, col_stride)) {
        throw_conversion_error(name, object, array_target);
    }
    if (has_masked_entries(object)) throw_masked_array_error(name, object, array_target);

    Matrix<T> matrix = allocate_matrix<T>(rows, cols, false);
    if (matrix.size() == 0) return matrix;
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const auto r = static_cast<std::int64_t>(rows);
    const auto c = static_cast<std::int64_t>(cols);
    const bool row_block = std::llabs(col_stride) == 1 && std::llabs(row_stride) == c;
    const bool col_block = std::llabs(row_stride) == 1 && std::llabs(col_stride) == r;
    if (row_block || col_block) {
        // The block starts at its lowest address; element (0, 0) lies
        // `origin` elements into it when an axis runs backwards.
        std::int64_t origin = (row_stride < 0 ? -(r - 1) * row_stride : 0) + (col_stride < 0 ? -(c - 1) * col_stride : 0);
        std::memcpy(matrix.elements.get(), data - origin * 8, matrix.size() * sizeof(T));
        matrix.row_stride = row_stride;
        matrix.col_stride = col_stride;
        matrix.origin = origin;
        return matrix;
    }
    T* out = matrix.elements.get();
    for_each_cell(rows, cols, false, [&](std::uint64_t i, std::uint64_t j) {
        const char* element = data + static_cast<npy_intp>(i) * strides[0] + static_cast<npy_intp>(j) * strides[1];
        std::memcpy(out++, element, sizeof(T));  // the source may be unaligned
    });
    return matrix;
}

}  // namespace

IntMatrix copy_int_array(PyObject* object, const char* name) {
    return copy_array<std::int64_t>(object, name, NPY_INT64);
}

FloatMatrix copy_float_array(PyObject* object, const char* name) {
    return copy_array<double>(object, name, NPY_FLOAT64);
}

PyRef selection_array(const Selection& selection, std::uint64_t m, std::uint64_t n) {
    ensure_numpy_api();
    npy_intp shape[2] = {static_cast<npy_intp>(m), static_cast<npy_intp>(n)};
    PyRef array(check(PyArray_SimpleNew(2, shape, NPY_INT64)));
    auto* x = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    if (m > 0 && n > 0) write_selection(selection, x, m * n);
    return array;
}

PyObject* make_result(const Selection& best, std::uint64_t m, std::uint64_t n) {
    PyRef array = selection_array(best, m, n);
    PyRef number(check(PyFloat_FromDouble(best.value)));
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) fail_after_printing_pending_error("Python API call failed");
    PyTuple_SET_ITEM(pair, 0, array.release());
    PyTuple_SET_ITEM(pair, 1, number.release());
    return pair;
}

}  // namespace allotra::binding
