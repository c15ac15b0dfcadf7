#include "ui/utf8_text.h"

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed sequence at bytes[i], or 0 when there is none.
std::size_t SequenceLength(const std::string& bytes, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  // The range of the second byte excludes overlongs, surrogates and values past U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (i + length > bytes.size() || byte(i + 1) < low || byte(i + 1) > high) {
    return 0;
  }
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
      return 0;
    }
  }
  return length;
}

// The code point that valid UTF-8 holds at text[i], and its length in bytes.
char32_t CodePointAt(const std::string& text, std::size_t i, std::size_t* length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  *length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t code = *length == 1 ? lead : lead & (0x7F >> *length);
  for (std::size_t k = 1; k < *length; ++k) {
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  return code;
}

// Columns a code point takes: two from the Hangul jamo on (CJK, full-width forms), a
// close enough rule for sizing a box.
std::size_t ColumnsOf(char32_t code) {
  return code >= 0x1100 ? 2 : 1;
}

// One line of WrapText's input, without line feeds.
std::string WrapLine(const std::string& line, std::size_t columns) {
  std::string wrapped;
  std::size_t start = 0;  // where the line being filled starts
  std::size_t width = 0;  // its columns so far
  // The latest place it may break: where the line would end, and where the next begins.
  std::size_t break_end = 0;
  std::size_t break_next = 0;
  for (std::size_t i = 0; i < line.size();) {
    std::size_t length = 0;
    const char32_t code = CodePointAt(line, i, &length);
    const std::size_t code_columns = ColumnsOf(code);
    if (code == ' ' && width + 1 > columns) {
      // The space that does not fit ends the line and goes.
      wrapped.append(line, start, i - start).append("\n");
      start = i + 1;
      width = 0;
      ++i;
      continue;
    }
    if (code_columns == 2 && i > start) {
      break_end = break_next = i;
    }
    if (width + code_columns > columns && i > start) {
      const bool can_break = break_next > start;
      wrapped.append(line, start, (can_break ? break_end : i) - start).append("\n");
      start = can_break ? break_next : i;
      width = 0;
      for (std::size_t k = start, n = 0; k < i; k += n) {
        width += ColumnsOf(CodePointAt(line, k, &n));
      }
    }
    width += code_columns;
    i += length;
    if (code == ' ') {
      break_end = i - 1;
      break_next = i;
    } else if (code == '/' || code_columns == 2) {
      break_end = break_next = i;
    }
  }
  return wrapped.append(line, start, std::string::npos);
}

}  // namespace

std::string WrapText(const std::string& text, std::size_t columns) {
  const std::string valid = ValidUtf8(text);
  std::string wrapped;
  for (std::size_t start = 0; start <= valid.size();) {
    std::size_t end = valid.find('\n', start);
    if (end == std::string::npos) {
      end = valid.size();
    }
    wrapped += WrapLine(valid.substr(start, end - start), columns);
    if (end < valid.size()) {
      wrapped += '\n';
    }
    start = end + 1;
  }
  return wrapped;
}

std::string ValidUtf8(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = SequenceLength(bytes, i);
    if (length == 0) {
      text += kReplacement;
      ++i;
    } else {
      text.append(bytes, i, length);
      i += length;
    }
  }
  return text;
}
