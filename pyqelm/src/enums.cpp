// The enumerations Coil and Channel: classes without a constructor whose only instances are
// created with the class and stored as its attributes.
#include <array>
#include <string>

#include "access.hpp"
#include "capi.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "once.hpp"
#include "pyref.hpp"

namespace pyqelm {
namespace {

struct EnumDescription {
    const char* spec_name;  // "builtins.Coil"
    const char* class_name;
    std::array<const char*, 4> values;
    std::size_t count;
};

constexpr EnumDescription COIL{"builtins.Coil", "Coil", {"A1", "A2", "B1", "B2"}, 4};
constexpr EnumDescription CHANNEL{"builtins.Channel", "Channel", {"A", "B"}, 2};

OnceCell<PyTypeObject> coil_cell;
OnceCell<PyTypeObject> channel_cell;

const EnumDescription& description_of(PyObject* self) {
    return Py_TYPE(self) == coil_cell.peek() ? COIL : CHANNEL;
}

PyObject* enum_repr(PyObject* self) noexcept {
    try {
        auto* object = reinterpret_cast<EnumObject*>(self);
        AccessGuard access(object->borrow_flag, Access::Shared);
        const EnumDescription& d = description_of(self);
        return PyUnicode_FromFormat("%s.%s", d.class_name, d.values[object->discriminant]);
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* enum_int(PyObject* self) noexcept {
    try {
        auto* object = reinterpret_cast<EnumObject*>(self);
        AccessGuard access(object->borrow_flag, Access::Shared);
        return PyLong_FromLong(object->discriminant);
    } catch (...) {
        return translate_current_exception();
    }
}

void enum_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<EnumObject*>(self)->borrow_flag.~BorrowFlag();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyTypeObject* create_enum(const EnumDescription& d) {
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(enum_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
        {Py_nb_int, reinterpret_cast<void*>(enum_int)},
        {0, nullptr},
    };
    PyType_Spec spec{d.spec_name, static_cast<int>(sizeof(EnumObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    Ref type(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    for (std::size_t i = 0; i < d.count; ++i) {
        Ref instance(capi::alloc_instance(type_object));
        if (!instance) return nullptr;
        auto* value = reinterpret_cast<EnumObject*>(instance.get());
        value->discriminant = static_cast<std::uint8_t>(i);
        new (&value->borrow_flag) BorrowFlag(0);
        if (PyObject_SetAttrString(type.get(), d.values[i], instance.get()) < 0) return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

PyTypeObject* coil_type() {
    return coil_cell.get_or_create([] { return create_enum(COIL); });
}

PyTypeObject* channel_type() {
    return channel_cell.get_or_create([] { return create_enum(CHANNEL); });
}

}  // namespace pyqelm
