#ifndef LUMORET_UI_UTF8_TEXT_H
#define LUMORET_UI_UTF8_TEXT_H

#include <string>

// bytes as valid UTF-8: every byte that does not belong to a well-formed sequence
// (stray, truncated, overlong, surrogate or beyond U+10FFFF) becomes U+FFFD. The
// toolkit shows nothing at all for text that is not valid UTF-8.
std::string ValidUtf8(const std::string& bytes);

#endif  // LUMORET_UI_UTF8_TEXT_H
