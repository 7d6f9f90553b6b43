#pragma once
// A name from the user (a path, a ring's name) inside a message: in single quotes, with quotes,
// backslashes and control bytes escaped, so that a newline in a name cannot forge a line of the
// message and a terminal shows what was given.
#include <string>
#include <string_view>

namespace ostrel {

std::string quoted(std::string_view text);

}  // namespace ostrel
