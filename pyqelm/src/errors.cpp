// PanicException, the translation of C++ failures into Python exceptions, and the cast and
// argument errors of the call machinery.
#include "errors.hpp"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "capi.hpp"
#include "once.hpp"
#include "protocols/failure.hpp"
#include "pyref.hpp"

#ifdef _WIN32
#include <io.h>
#endif

namespace pyqelm {
namespace {

constexpr const char* PANIC_DOC =
    "The exception raised when pyqelm refuses an operation or one of its internal checks "
    "fails.\n\n"
    "Its single argument is the message, e.g. 'assertion failed: duration >= 0.01'. Like "
    "SystemExit, it derives from BaseException, not Exception, so that an 'except Exception' "
    "clause does not swallow it: it normally propagates all the way up and ends the "
    "interpreter. The object that raised it is left as it was before the call and stays usable.";

OnceCell<PyObject> panic_type_cell;

// The exception now set, taken out of the interpreter's error indicator.
PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    // The exception object carries its type and traceback; the separate references go.
    const Ref type_owner(type);
    const Ref traceback_owner(traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    return value;
#endif
}

// Puts `exception` (a reference that is taken over) back as the exception now set.
void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

#ifdef _WIN32
// Straight to descriptor 2 of the C runtime the interpreter uses (the UCRT, which this module
// shares), the descriptor Python's sys.stderr writes to and os.dup2 redirects, in one write.
// No stdio stream is involved, so nothing can sit in a buffer of a runtime that is not flushed.
[[gnu::format(printf, 1, 2)]] void write_diagnostic(const char* format, ...) {
    char small[1024];
    std::va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (needed < 0) return;
    std::string text;
    if (static_cast<std::size_t>(needed) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(needed));
    } else {
        text.resize(static_cast<std::size_t>(needed) + 1);
        va_start(args, format);
        std::vsnprintf(text.data(), text.size(), format, args);
        va_end(args);
        text.pop_back();
    }
    ::_write(2, text.data(), static_cast<unsigned>(text.size()));
}
#else
[[gnu::format(printf, 1, 2)]] void write_diagnostic(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}
#endif

void raise_panic(const protocols::Failure& failure) {
    // A short diagnostic for scripts whose stderr is the only record of what went wrong.
    const auto& where = failure.where();
    write_diagnostic(
        "pyqelm: thread %lu refused an operation at %s:%u:%u:\n%s\n"
        "note: raised as PanicException; the object is unchanged and stays usable\n",
        PyThread_get_thread_ident(), where.file_name(), static_cast<unsigned>(where.line()),
        static_cast<unsigned>(where.column()), failure.message().c_str());
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation's own exception stays set
    Ref message(PyUnicode_DecodeUTF8(failure.message().data(),
                                     static_cast<Py_ssize_t>(failure.message().size()), "replace"));
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

}  // namespace

PyObject* panic_exception_type() {
    return panic_type_cell.get_or_create([]() -> PyObject* {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                         PyExc_BaseException, nullptr);
    });
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorAlreadySet&) {
        // already set
    } catch (const protocols::Failure& failure) {
        try {
            raise_panic(failure);
        } catch (...) {
            PyErr_NoMemory();
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "pyqelm: unexpected internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pyqelm: unexpected internal error");
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
}

std::string qualname_of(PyTypeObject* type) {
    Ref name(PyType_GetQualName(type));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

std::string take_exception_text() {
    Ref error(take_raised_exception());
    if (!error) return "no exception was set";
    std::string text = type_qualname(error.get());
    Ref message(PyObject_Str(error.get()));
    Py_ssize_t size = 0;
    const char* utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
    } else if (size > 0) {
        text += ": ";
        text.append(utf8, static_cast<std::size_t>(size));
    }
    return text;
}

void set_cast_error(PyObject* object, const char* target) {
    const std::string from = type_qualname(object);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", from.c_str(), target);
}

void rewrap_argument_error(const char* parameter) {
    Ref error(take_raised_exception());
    if (!error) return;
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_raised_exception(error.release());
        return;
    }
    Ref text(PyObject_Str(error.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    Ref replacement(capi::call_one_arg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    // The replacement's cause is the original's cause, not the original itself.
    PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace pyqelm
