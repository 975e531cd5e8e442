// Rebuilding a pyqelm.Protocol from a decoded file through the public methods only.
#pragma once

#include <Python.h>

#include "protocols/settings.hpp"

namespace qelmfile {

// A new pyqelm.Protocol whose save() writes the encoding of `settings`; throws Refusal for
// the first field the methods cannot reproduce, PyErrorAlreadySet when a call fails.
//
// With `allow_target_machine`, a running_on_target_machine other than what Protocol() sets in
// this process is no refusal: everything else is rebuilt, the flag stays as this process has
// it, and a UserWarning names the field (so a save writes the file again but for that field).
PyObject* to_protocol(const protocols::Settings& settings, bool allow_target_machine);

}  // namespace qelmfile
