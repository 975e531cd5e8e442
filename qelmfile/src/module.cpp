// The qelmfile module: load/loads over the protocol library's strict decoder, check over its
// checks, diff over the record walk, and the exception and finding types. One module object
// per process, like pyqelm's.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common.hpp"
#include "compare.hpp"
#include "fileguard/journal.hpp"
#include "protocols/checks.hpp"
#include "protocols/decoding.hpp"
#include "protocols/signal_list.hpp"
#include "views.hpp"

namespace qelmfile {
namespace {

PyObject* format_error = nullptr;  // qelmfile.FormatError, created with the module
PyTypeObject* finding_type = nullptr;

// --- FormatError ------------------------------------------------------------------------------

constexpr const char* FORMAT_ERROR_DOC =
    "The data is not a well-formed protocol file.\n\n"
    "str() is the decoder's message, the same that qelm-inspect prints, e.g. "
    "'offset 151: signals[0]: signal kind 7 is not one of 0..4'. `offset` is the byte offset "
    "where the refused item begins, `field` the path of the field being read (empty when the "
    "file as a whole is refused, e.g. for bytes left over after the record).";

void raise_format_error(const protocols::DecodeError& error) {
    const std::string text = error.to_string();
    Ref message = checked(new_text(text));
    Ref exception = checked(PyObject_CallFunctionObjArgs(format_error, message.get(), nullptr));
    Ref offset = checked(PyLong_FromSize_t(error.offset));
    Ref field = checked(new_text(error.path));
    check(PyObject_SetAttrString(exception.get(), "offset", offset.get()) == 0);
    check(PyObject_SetAttrString(exception.get(), "field", field.get()) == 0);
    PyErr_SetObject(format_error, exception.get());
    throw PyErrorAlreadySet{};
}

bool create_format_error(PyObject* module) {
    Ref defaults(PyDict_New());
    Ref zero(PyLong_FromLong(0));
    Ref empty(PyUnicode_FromString(""));
    if (!defaults || !zero || !empty ||
        PyDict_SetItemString(defaults.get(), "offset", zero.get()) < 0 ||
        PyDict_SetItemString(defaults.get(), "field", empty.get()) < 0) {
        return false;
    }
    format_error = PyErr_NewExceptionWithDoc("qelmfile.FormatError", FORMAT_ERROR_DOC,
                                             PyExc_ValueError, defaults.get());
    return format_error != nullptr &&
           PyModule_AddObjectRef(module, "FormatError", format_error) == 0;
}

// --- Finding ----------------------------------------------------------------------------------

struct FindingObject {
    PyObject_HEAD
    PyObject* field;
    PyObject* message;
    PyObject* line;  // "field: message", as qelm-inspect --check prints it
};

FindingObject* as_finding(PyObject* self) { return reinterpret_cast<FindingObject*>(self); }

PyObject* new_finding(const protocols::Finding& finding) {
    Ref self = checked(PyType_GenericAlloc(finding_type, 0));
    FindingObject* object = as_finding(self.get());
    object->field = checked(new_text(finding.path)).release();
    object->message = checked(new_text(finding.message)).release();
    object->line = checked(new_text(finding.to_string())).release();
    return self.release();
}

void finding_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    FindingObject* object = as_finding(self);
    Py_XDECREF(object->field);
    Py_XDECREF(object->message);
    Py_XDECREF(object->line);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* finding_field(PyObject* self, void*) noexcept {
    return Py_NewRef(as_finding(self)->field);
}
PyObject* finding_message(PyObject* self, void*) noexcept {
    return Py_NewRef(as_finding(self)->message);
}
PyObject* finding_str(PyObject* self) noexcept { return Py_NewRef(as_finding(self)->line); }
PyObject* finding_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("Finding(field=%R, message=%R)", as_finding(self)->field,
                                as_finding(self)->message);
}
PyObject* finding_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const int same =
        PyObject_RichCompareBool(as_finding(self)->line, as_finding(other)->line, Py_EQ);
    if (same < 0) return nullptr;
    return PyBool_FromLong((same == 1) == (op == Py_EQ) ? 1 : 0);
}
Py_hash_t finding_hash(PyObject* self) noexcept { return PyObject_Hash(as_finding(self)->line); }

PyGetSetDef finding_getset[] = {
    {"field", finding_field, nullptr,
     "The path of the field concerned, e.g. 'channel_b_settings.modulation_source'.", nullptr},
    {"message", finding_message, nullptr, "What is wrong with it, in words.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool create_finding_type(PyObject* module) {
    static char doc[] =
        "One finding of qelmfile.check(). str() is the line that qelm-inspect --check prints "
        "for it: 'field: message'.";
    PyType_Slot slots[] = {
        {Py_tp_doc, doc},
        {Py_tp_dealloc, reinterpret_cast<void*>(finding_dealloc)},
        {Py_tp_getset, finding_getset},
        {Py_tp_str, reinterpret_cast<void*>(finding_str)},
        {Py_tp_repr, reinterpret_cast<void*>(finding_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(finding_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(finding_hash)},
        {0, nullptr},
    };
    PyType_Spec spec{"qelmfile.Finding", static_cast<int>(sizeof(FindingObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                         Py_TPFLAGS_IMMUTABLETYPE,
                     slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return false;
    finding_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "Finding", type) == 0;
}

// --- load, loads ------------------------------------------------------------------------------

// Runs a decoder with the interpreter lock released (it touches no Python object) and raises
// its refusal as FormatError; running out of memory is rethrown once the lock is back.
template <class Decode>
auto decode_unlocked(Decode&& decode) {
    decltype(decode()) result{protocols::DecodeError{}};
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        result = decode();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) throw std::bad_alloc();
    if (auto* refused = std::get_if<protocols::DecodeError>(&result)) raise_format_error(*refused);
    return result;
}

// loads' decoding: the bytes stay exported meanwhile (so a bytearray cannot be resized), and
// since they are the caller's, everything is decoded at once.
PyObject* decode(std::span<const std::uint8_t> bytes) {
    auto result = decode_unlocked([&] { return protocols::decode_settings(bytes); });
    return new_protocol_file(std::move(std::get<protocols::Settings>(result)));
}

// load's decoding: the file's bytes are ours, so the sample lists are only validated here
// (a vector scan, a fraction of the time decoding them takes) and are decoded from the kept
// bytes when first needed. The same errors as decode(), at the same offsets.
// The signals stay in those bytes too, with an index of where they lie, and each is decoded
// when it is asked for: a decoded signal takes about 40 bytes, a small one in the file a few.
PyObject* decode_deferred(FileBytes&& bytes) {
    auto result = decode_unlocked([&] { return protocols::decode_settings_indexed(bytes); });
    return new_protocol_file(std::move(std::get<protocols::IndexedSettings>(result)),
                             std::move(bytes));
}

PyObject* decode_buffer(PyObject* data) {
    Py_buffer view;
    check(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) == 0);
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    return decode({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
}

PyObject* loads(PyObject*, PyObject* data) noexcept {
    try {
        return decode_buffer(data);
    } catch (...) {
        return translate_current_exception();
    }
}

// Closes `file` on every path; on an error path the error in flight stays the one raised.
class ClosingFile {
public:
    explicit ClosingFile(Ref file) : file_(std::move(file)) {}
    ClosingFile(const ClosingFile&) = delete;
    ClosingFile& operator=(const ClosingFile&) = delete;
    ~ClosingFile() {
        if (!file_) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyObject* pending = PyErr_GetRaisedException();
        Ref closed(PyObject_CallMethod(file_.get(), "close", nullptr));
        PyErr_Clear();  // a failure to close is not what went wrong
        if (pending != nullptr) PyErr_SetRaisedException(pending);
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref closed(PyObject_CallMethod(file_.get(), "close", nullptr));
        PyErr_Clear();  // a failure to close is not what went wrong
        if (type != nullptr) PyErr_Restore(type, value, traceback);
#endif
    }
    PyObject* get() const noexcept { return file_.get(); }
    // Closes now and reports a failure to close (a successful read is not complete without).
    void close() {
        Ref closing = std::move(file_);
        check(static_cast<bool>(Ref(PyObject_CallMethod(closing.get(), "close", nullptr))));
    }

private:
    Ref file_;
};

// The file's record, read with readinto straight into memory of our own: no bytes object, and
// a large file lands in memory that is advised to use huge pages (see numeric.hpp), so reading
// it costs little more than the copy out of the page cache. It is read in pieces, each checked
// (without the interpreter lock) for how far it goes towards a record, so that a file is read
// no further than its record can reach: /dev/zero or a huge sparse file is refused after a few
// bytes, not read whole.
FileBytes read_record(PyObject* file) {
    Ref fileno = checked(PyObject_CallMethod(file, "fileno", nullptr));
    Ref os = checked(PyImport_ImportModule("os"));
    Ref status = checked(PyObject_CallMethod(os.get(), "fstat", "(O)", fileno.get()));
    Ref st_size = checked(PyObject_GetAttrString(status.get(), "st_size"));
    const long long expected = PyLong_AsLongLong(st_size.get());
    if (expected == -1 && PyErr_Occurred()) throw PyErrorAlreadySet{};
    // A pipe reports no size, and some files (in /proc) report none although they have data.
    const std::size_t size =
        expected > 0 ? static_cast<std::size_t>(expected) : protocols::unknown_file_size;
    auto read = [file](std::uint8_t* into, std::size_t room) -> std::size_t {
        const auto wanted = static_cast<Py_ssize_t>(
            std::min<std::size_t>(room, static_cast<std::size_t>(PY_SSIZE_T_MAX)));
        Ref view =
            checked(PyMemoryView_FromMemory(reinterpret_cast<char*>(into), wanted, PyBUF_WRITE));
        Ref got(PyObject_CallMethod(file, "readinto", "(O)", view.get()));
        // The memory may move once this returns: nothing may keep a view of it.
        Ref released(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!got || !released) throw PyErrorAlreadySet{};
        if (got.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError, "the file has no data ready to read");
            throw PyErrorAlreadySet{};
        }
        const Py_ssize_t n = PyLong_AsSsize_t(got.get());
        if (n < 0 || n > wanted) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, "readinto gave a wrong count");
            throw PyErrorAlreadySet{};
        }
        return static_cast<std::size_t>(n);
    };
    auto check = [](std::span<const std::uint8_t> bytes, std::size_t file_size) {
        protocols::PrefixStatus result;
        bool out_of_memory = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            result = protocols::check_prefix(bytes, file_size);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
        Py_END_ALLOW_THREADS
        if (out_of_memory) throw std::bad_alloc();
        return result;
    };
    FileBytes bytes;
    if (auto refused = protocols::read_record(bytes, size, read, check)) {
        raise_format_error(*refused);
    }
    return bytes;
}

// A save that was killed while rewriting the file in place is undone before the file is read,
// so that load never sees a mix of two saves. `name` is the str or bytes PyOS_FSPath returned
// for the caller's path; a name that cannot be encoded, or that holds a NUL, is left to open()
// to judge.
void recover_before_reading(PyObject* name) {
    Ref encoded(PyUnicode_Check(name) ? PyUnicode_EncodeFSDefault(name) : Py_NewRef(name));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!encoded || !PyBytes_Check(encoded.get()) ||
        PyBytes_AsStringAndSize(encoded.get(), &data, &size) != 0) {
        PyErr_Clear();
        return;
    }
    const std::string native(data, static_cast<std::size_t>(size));
    if (native.find('\0') != std::string::npos) return;
    fileguard::Recovery recovery;
    Py_BEGIN_ALLOW_THREADS
    recovery = fileguard::recover_path(native);
    Py_END_ALLOW_THREADS
    if (recovery.outcome != fileguard::Outcome::failed) return;
    Ref message = checked(new_text(fileguard::describe(recovery)));
    Ref exception =
        checked(PyObject_CallFunction(PyExc_OSError, "(iOO)", recovery.error, message.get(), name));
    PyErr_SetObject(PyExc_OSError, exception.get());
    throw PyErrorAlreadySet{};
}

PyObject* load(PyObject*, PyObject* path) noexcept {
    try {
        // A path only: open() would take an int (or a bool) as a descriptor, read the caller's
        // file and close it. PyOS_FSPath keeps str and bytes and calls __fspath__ on the rest.
        Ref name = checked(PyOS_FSPath(path));
        recover_before_reading(name.get());
        // Opened by Python's own open(), so paths of every kind and the platform's file name
        // encoding behave as in open(path, "rb").
        Ref io = checked(PyImport_ImportModule("io"));
        ClosingFile file(checked(PyObject_CallMethod(io.get(), "open", "(Osi)", name.get(), "rb",
                                                     0)));
        FileBytes bytes = read_record(file.get());
        file.close();
        return decode_deferred(std::move(bytes));
    } catch (...) {
        return translate_current_exception();
    }
}

// The settings of the ProtocolFile `object`, samples decoded; with `whole`, with every signal
// in them, else without the signals kept in the file's bytes (read through signal_list).
const protocols::Settings& require_file(PyObject* object, const char* function, bool whole) {
    const protocols::Settings* settings = settings_of(object);
    if (settings == nullptr) {
        Ref name = checked(PyType_GetName(Py_TYPE(object)));
        PyErr_Format(PyExc_TypeError, "%s() expects a qelmfile.ProtocolFile, not '%U'", function,
                     name.get());
        throw PyErrorAlreadySet{};
    }
    require_samples(object);
    return whole ? whole_settings(object) : *settings;
}

PyObject* check_file(PyObject*, PyObject* file) noexcept {
    try {
        const protocols::Settings& settings = require_file(file, "check", false);
        Ref list = checked(PyList_New(0));
        protocols::check_settings(settings, *signal_list(file),
                                  [&](const protocols::Finding& finding) {
                                      Ref item = checked(new_finding(finding));
                                      check(PyList_Append(list.get(), item.get()) == 0);
                                  });
        return list.release();
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* diff(PyObject*, PyObject* args) noexcept {
    try {
        PyObject* a = nullptr;
        PyObject* b = nullptr;
        check(PyArg_UnpackTuple(args, "diff", 2, 2, &a, &b) != 0);
        const protocols::Settings& left = require_file(a, "diff", true);
        const protocols::Settings& right = require_file(b, "diff", true);
        Ref list = checked(PyList_New(0));
        auto add = [&](const std::string& path, const auto& x, const auto& y) -> bool {
            Ref entry = checked(Py_BuildValue("(NNN)", checked(new_text(path)).release(),
                                              checked(to_python(x, a)).release(),
                                              checked(to_python(y, b)).release()));
            check(PyList_Append(list.get(), entry.get()) == 0);
            return true;
        };
        FieldPath path;
        compare(left, right, path, add);
        return list.release();
    } catch (...) {
        return translate_current_exception();
    }
}

PyMethodDef module_functions[] = {
    {"load", load, METH_O,
     "load(path, /)\n--\n\n"
     "Read and decode the protocol file at `path` (str, bytes or os.PathLike). The samples of "
     "arbitrary signals are validated here and decoded on first need, from the file's bytes, "
     "which the result keeps until then. A save that was killed while rewriting the file in "
     "place is undone first, from the record it left beside the file. Raises FormatError for a "
     "malformed file and OSError when it cannot be read or such a save cannot be undone."},
    {"loads", loads, METH_O,
     "loads(data, /)\n--\n\n"
     "Decode a protocol file held in `data`, any contiguous bytes-like object (bytes, "
     "bytearray, memoryview, ...). Raises FormatError for malformed data."},
    {"check", check_file, METH_O,
     "check(file, /)\n--\n\n"
     "The findings of qelm-inspect --check for `file`, a ProtocolFile, in the same order; an "
     "empty list when nothing is found."},
    {"diff", diff, METH_VARARGS,
     "diff(a, b, /)\n--\n\n"
     "The differences between two ProtocolFiles as (field path, value in a, value in b) "
     "tuples, in field order. Floats are compared by their bits. A list of different length, "
     "a signal of another kind and sample arrays that differ anywhere are reported once, as a "
     "whole."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "qelmfile",
    "Read .qelm protocol files back: load, check, compare and rebuild them as pyqelm "
    "protocols.",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
OnceCell<PyObject> module_cell;

PyObject* create_module() {
    Ref module(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    if (!create_format_error(module.get()) || !create_finding_type(module.get()) ||
        !create_sample_buffer_type() || !create_signal_sequence_type() ||
        !create_view_types(module.get())) {
        return nullptr;
    }
    register_fork_guard();
    return module.release();  // kept for the process
}

}  // namespace

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorAlreadySet&) {  // NOLINT(bugprone-empty-catch): set already; see below
    } catch (const Refusal& refusal) {
        const std::string text = refusal.path + ": " + refusal.reason;
        PyErr_SetString(PyExc_ValueError, text.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "qelmfile: unexpected internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "qelmfile: unexpected internal error");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "qelmfile: error without exception");
    return nullptr;
}

}  // namespace qelmfile

PyMODINIT_FUNC PyInit_qelmfile(void) {
    using namespace qelmfile;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "qelmfile can be imported only in the interpreter that imported it first");
        return nullptr;
    }
    PyObject* module = module_cell.get_or_create(create_module);
    return Py_XNewRef(module);
}
