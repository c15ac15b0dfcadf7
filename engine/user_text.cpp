#include "engine/user_text.h"

#include <atomic>

namespace {
// The installed translator; set once at start-up, read from every thread.
std::atomic<Translator> installed{nullptr};
}  // namespace

void SetTranslator(Translator translator) {
  installed.store(translator);
}

namespace {
// The translation, or untranslated when the translator has none.
std::string Translated(const char* msgid, const char* plural, unsigned long n,
                       const char* untranslated) {
  const Translator translator = installed.load();
  if (translator != nullptr) {
    std::string translated = translator(msgid, plural, n);
    if (!translated.empty()) {
      return translated;
    }
  }
  return untranslated;
}
}  // namespace

std::string Tr(const char* msgid) {
  return Translated(msgid, nullptr, 1, msgid);
}

std::string TrN(const char* singular, const char* plural, unsigned long n) {
  return Translated(singular, plural, n, n == 1 ? singular : plural);
}

std::string Fill(const std::string& text, std::initializer_list<std::string> values) {
  std::string out;
  auto next = values.begin();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') {
      out += '%';
      ++i;
    } else if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's' &&
               next != values.end()) {
      out += *next++;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}
