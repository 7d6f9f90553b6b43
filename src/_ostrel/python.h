#pragma once
// Every binding file includes Python through here, first.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
