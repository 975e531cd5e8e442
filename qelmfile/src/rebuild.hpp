// Rebuilding a pyqelm.Protocol from a decoded file through the public methods only.
#pragma once

#include <Python.h>

#include "protocols/settings.hpp"

namespace qelmfile {

// A new pyqelm.Protocol whose save() writes the encoding of `settings`; throws Refusal for
// the first field the methods cannot reproduce, PyErrorAlreadySet when a call fails.
PyObject* to_protocol(const protocols::Settings& settings);

}  // namespace qelmfile
