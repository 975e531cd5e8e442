// Linux file interfaces that an older C library does not declare. The wheels are built against
// glibc 2.17, whose headers predate O_TMPFILE and the locks of open file descriptions; without
// these, a wheel would quietly take the fallbacks (a named temporary file, flock) that a source
// build never takes, and its savers would not exclude a source build's savers, whose locks are of
// the other kind. The values are the kernel's (asm-generic, which x86-64 and arm64 follow); a
// kernel that predates them refuses them with EINVAL or EISDIR, and the callers fall back then.
#pragma once

#include <fcntl.h>

#if defined(__linux__)
#ifndef O_TMPFILE
#define O_TMPFILE (020000000 | O_DIRECTORY)
#endif
#ifndef F_OFD_SETLK
#define F_OFD_SETLK 37
#endif
#ifndef F_OFD_SETLKW
#define F_OFD_SETLKW 38
#endif
#endif
