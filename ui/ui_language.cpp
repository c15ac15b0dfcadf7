#include "ui/ui_language.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

// What a language other than Chinese reads when it has no catalog of its own.
const char kFallback[] = "en";

bool IsSet(const char* value) {
  return value != nullptr && *value != '\0';
}

bool IsChinese(const std::string& language) {
  return language.compare(0, 2, "zh") == 0;
}

bool IsCLocale(const std::string& locale) {
  return locale == "C" || locale == "POSIX" || locale.compare(0, 2, "C.") == 0;
}

// "en_GB.UTF-8@euro" as a catalog name: "en_GB" when there is one, else "en"; empty
// when neither is.
std::string CatalogFor(std::string locale, const std::vector<std::string>& catalogs) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  for (const std::string& name : {locale, locale.substr(0, locale.find('_'))}) {
    if (std::find(catalogs.begin(), catalogs.end(), name) != catalogs.end()) {
      return name;
    }
  }
  return {};
}

}  // namespace

std::string UiLanguage(const LocaleVariables& variables, const std::vector<std::string>& catalogs) {
  if (IsSet(variables.language)) {
    std::istringstream list(variables.language);
    std::string entry;
    while (std::getline(list, entry, ':')) {
      if (IsChinese(entry)) {
        return {};
      }
      const std::string catalog = CatalogFor(entry, catalogs);
      if (!catalog.empty()) {
        return catalog;
      }
    }
  }
  for (const char* value : {variables.lc_all, variables.lc_messages, variables.lang}) {
    if (!IsSet(value)) {
      continue;
    }
    if (IsCLocale(value) || IsChinese(value)) {
      return {};
    }
    const std::string catalog = CatalogFor(value, catalogs);
    return catalog.empty() ? kFallback : catalog;
  }
  return {};
}

LocaleVariables EnvironmentLocale() {
  return {std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
          std::getenv("LANG")};
}
