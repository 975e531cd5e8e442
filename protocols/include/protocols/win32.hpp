// <windows.h> for the Windows parts of the project: without the rarely used parts of the API,
// and without the min and max macros, which would break std::min, std::max and
// std::numeric_limits<T>::max().
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
