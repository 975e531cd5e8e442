// The instance layouts of the three classes and access to their class objects.
#pragma once

#include <Python.h>

#include <cstdint>

#include "access.hpp"
#include "protocols/settings.hpp"

namespace pyqelm {

struct ProtocolObject {
    PyObject_HEAD
    protocols::Protocol record;  // the object's state: its one field is the settings
    BorrowFlag borrow_flag;

    protocols::Settings& settings() noexcept { return record.settings; }
};

// An instance of Coil or Channel: one of the six enumeration values. Nothing ever takes
// exclusive access to one, so its counter can never refuse a shared access; it is kept because
// the instance layout is part of the module's binary interface (every object of the module
// carries a counter after its value), and because a method reads an enumeration argument under
// shared access like any other object of the module.
struct EnumObject {
    PyObject_HEAD
    std::uint8_t discriminant;
    BorrowFlag borrow_flag;
};

// The class objects, created once per process on first use; nullptr with an exception set if
// the creation fails. Borrowed references: the classes live until the process ends.
PyTypeObject* protocol_type();
PyTypeObject* coil_type();
PyTypeObject* channel_type();

}  // namespace pyqelm
