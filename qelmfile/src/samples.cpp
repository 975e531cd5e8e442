// The samples of an arbitrary signal for NumPy, which is imported only here, on first need.
//
// The int16 array is made by numpy.frombuffer over a small read-only object that exports the
// decoded samples through the buffer protocol and keeps their ProtocolFile alive: no copy, and
// a read-only array, since the buffer is read-only. The float values are computed here, so that
// the codes they stand for are the ones to_protocol hands to pyqelm.
#include <cstdint>
#include <cstring>

#include "views.hpp"

namespace qelmfile {
namespace {

struct SampleBufferObject {
    PyObject_HEAD
    PyObject* owner;  // the ProtocolFile holding the samples
    const protocols::SampleVector* samples;
};

PyTypeObject* sample_buffer_type = nullptr;

int sample_buffer_get(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* object = reinterpret_cast<SampleBufferObject*>(self);
    static const std::int16_t none[1] = {0};  // a valid address for an empty signal
    const std::int16_t* data = object->samples->empty() ? none : object->samples->data();
    const auto size = static_cast<Py_ssize_t>(object->samples->size() * sizeof(std::int16_t));
    // Refuses writable requests: the decoded record never changes.
    return PyBuffer_FillInfo(view, self, const_cast<std::int16_t*>(data), size, 1, flags);
}

void sample_buffer_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<SampleBufferObject*>(self)->owner);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

Ref numpy_attribute(const char* name) {
    Ref numpy = checked(PyImport_ImportModule("numpy"));
    return checked(PyObject_GetAttrString(numpy.get(), name));
}

}  // namespace

bool create_sample_buffer_type() {
    static char doc[] = "The memory of an arbitrary signal's samples, shared read-only.";
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_dealloc, reinterpret_cast<void*>(sample_buffer_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(sample_buffer_get)},
        {0, nullptr},
    };
    PyType_Spec spec{"qelmfile._SampleBuffer", static_cast<int>(sizeof(SampleBufferObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                         Py_TPFLAGS_IMMUTABLETYPE,
                     slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return false;
    sample_buffer_type = reinterpret_cast<PyTypeObject*>(type);
    return true;
}

PyObject* samples_array(const protocols::SampleVector& samples, PyObject* owner) {
    Ref frombuffer = numpy_attribute("frombuffer");
    Ref int16 = numpy_attribute("int16");
    Ref buffer = checked(PyType_GenericAlloc(sample_buffer_type, 0));
    auto* object = reinterpret_cast<SampleBufferObject*>(buffer.get());
    object->owner = Py_NewRef(owner);
    object->samples = &samples;
    return PyObject_CallFunctionObjArgs(frombuffer.get(), buffer.get(), int16.get(), nullptr);
}

PyObject* sample_values_array(const protocols::SampleVector& samples) {
    Ref empty = numpy_attribute("empty");
    Ref float64 = numpy_attribute("float64");
    Ref count = checked(PyLong_FromSize_t(samples.size()));
    Ref array =
        checked(PyObject_CallFunctionObjArgs(empty.get(), count.get(), float64.get(), nullptr));
    Py_buffer view;
    check(PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) == 0);
    auto* out = static_cast<double*>(view.buf);
    for (std::size_t i = 0; i < samples.size(); ++i) out[i] = sample_value(samples[i]);
    PyBuffer_Release(&view);
    return array.release();
}

}  // namespace qelmfile
