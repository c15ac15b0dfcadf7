#ifndef LUMORET_UI_UTF8_TEXT_H
#define LUMORET_UI_UTF8_TEXT_H

#include <cstddef>
#include <string>

// bytes as valid UTF-8: every byte that does not belong to a well-formed sequence
// (stray, truncated, overlong, surrogate or beyond U+10FFFF) becomes U+FFFD. The
// toolkit shows nothing at all for text that is not valid UTF-8.
std::string ValidUtf8(const std::string& bytes);

// text (made valid UTF-8) with line breaks added so that no line is wider than columns,
// a CJK character counting as two. Lines break after a space (which goes), after a
// slash, or beside a CJK character; a run with no such place (a long file name) is cut
// where it reaches the width. Nothing else is left out. Message boxes grow as wide as
// their longest line.
std::string WrapText(const std::string& text, std::size_t columns);

#endif  // LUMORET_UI_UTF8_TEXT_H
