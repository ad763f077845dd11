// The one place that includes Python.h; every binding file includes this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
