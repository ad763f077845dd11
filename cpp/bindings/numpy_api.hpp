// The one place that includes the NumPy C API. The module file defines
// CORVANE_NUMPY_IMPORT before including it and imports the API table.
#pragma once

#include "bindings/python.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers, usable with NumPy 1.24 and later.
#define NPY_TARGET_VERSION NPY_1_24_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL corvane_ARRAY_API
#ifndef CORVANE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
