#ifndef LUMORET_UI_UI_LANGUAGE_H
#define LUMORET_UI_UI_LANGUAGE_H

#include <string>
#include <vector>

// The language settings of the environment, as gettext names them; nullptr or empty
// when unset.
struct LocaleVariables {
  const char* language = nullptr;     // LANGUAGE: a colon-separated list of preferences
  const char* lc_all = nullptr;       // LC_ALL
  const char* lc_messages = nullptr;  // LC_MESSAGES
  const char* lang = nullptr;         // LANG
};

// The catalog the window reads in, out of catalogs (such as "en"); empty for the msgids,
// the Chinese of the C locale. LANGUAGE's first entry with a catalog or Chinese wins,
// even under the C locale; else the first of LC_ALL, LC_MESSAGES and LANG that is set
// decides: C, POSIX and zh_* give Chinese, a language without a catalog English.
std::string UiLanguage(const LocaleVariables& variables, const std::vector<std::string>& catalogs);

// The environment's variables.
LocaleVariables EnvironmentLocale();

#endif  // LUMORET_UI_UI_LANGUAGE_H
