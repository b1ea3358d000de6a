// Text from outside (a path, a value a program printed, a system's error text) made safe to write
// on one line of a terminal or the journal: the result is always valid UTF-8 with no line break
// and nothing a terminal would act on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velto {

// `text` decoded as UTF-8, with every byte that is not part of a valid sequence written as \xNN,
// the C0 controls and DEL as \xNN, the C1 controls and the code points that reorder or break a
// line (U+061C, U+200E-U+200F, U+2028-U+202E, U+2066-U+2069) as \uNNNN, and " and \ as \" and \\.
// Everything else passes unchanged.
std::string escaped(std::string_view text);

}  // namespace velto
