// The layout of every instance of our classes: the object header, the record
// held by value, then a counter of the calls currently reading the instance.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "binding/errors.hpp"
#include "binding/python.hpp"

namespace allotra::binding {

template <typename Record>
struct Instance {
    PyObject_HEAD
    Record record;
    std::atomic<std::uint64_t> borrows;
};

template <typename Record>
Instance<Record>* as_instance(PyObject* object) {
    return reinterpret_cast<Instance<Record>*>(object);
}

// A shared read of an instance for the duration of one call. The all-ones
// value would mean exclusive access, which nothing here ever takes.
template <typename Record>
class SharedRead {
public:
    explicit SharedRead(PyObject* object) : instance_(as_instance<Record>(object)) {
        std::uint64_t current = instance_->borrows.load(std::memory_order_relaxed);
        do {
            if (current == UINT64_MAX) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                throw PythonErrorSet{};
            }
        } while (!instance_->borrows.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    }
    SharedRead(const SharedRead&) = delete;
    SharedRead& operator=(const SharedRead&) = delete;
    ~SharedRead() { instance_->borrows.fetch_sub(1, std::memory_order_release); }

    const Record& record() const noexcept { return instance_->record; }

private:
    Instance<Record>* instance_;
};

// Allocates an instance through the type's allocation slot and moves the
// record into it.
template <typename Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
    PyObject* object = check(type->tp_alloc(type, 0));
    Instance<Record>* instance = as_instance<Record>(object);
    new (&instance->record) Record(std::move(record));
    new (&instance->borrows) std::atomic<std::uint64_t>(0);
    return object;
}

template <typename Record>
void delete_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Instance<Record>* instance = as_instance<Record>(object);
    instance->record.~Record();
    instance->borrows.~atomic();
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace allotra::binding
