// Text from outside the program (paths above all) made safe to show: no control character ever
// reaches a terminal or a message box as it is, and one path is always one line.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// text with every byte that is not part of printable UTF-8 written as a backslash and three
// octal digits, as the shell's $'...' quoting reads them (ESC as \033, a newline as \012), and a
// backslash as two backslashes, so that the bytes can be told back from what is shown. Besides
// the C0 and C1 controls and DEL, the Unicode line and paragraph separators and the marks that
// turn the direction of the text are escaped: each can make a line look like another.
std::string EscapeForDisplay(std::string_view text);

// The length of the well-formed UTF-8 character at text[at]: 1 for ASCII, 2 to 4 for the longer
// sequences, 0 where the bytes are not UTF-8 (a stray continuation byte, an overlong form, a
// surrogate, a value past U+10FFFF or a sequence cut short).
std::size_t Utf8CharacterLength(std::string_view text, std::size_t at);

}  // namespace platform
