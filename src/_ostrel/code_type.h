#pragma once
// CodeType: the code families, as class attributes holding one object each.
#include "_ostrel/python.h"

namespace ostrel::py {

PyTypeObject* code_type_type();
bool init_code_type_type();

}  // namespace ostrel::py
