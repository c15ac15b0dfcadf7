#include "ui/translations.h"

#include <wx/arrstr.h>
#include <wx/intl.h>
#include <wx/translation.h>

#include <climits>
#include <filesystem>
#include <vector>

#include "ui/ui_language.h"

namespace {

const char kDomain[] = "lumoret";

// The catalog in use; empty for the msgids.
std::string& Language() {
  static std::string language;
  return language;
}

std::string CatalogText(const char* msgid, const char* plural, unsigned long n) {
  const wxTranslations* translations = wxTranslations::Get();
  if (translations == nullptr) {
    return {};
  }
  const wxString id = wxString::FromUTF8(msgid);
  const wxString* text = plural == nullptr ? translations->GetTranslatedString(id, kDomain)
                                           : translations->GetTranslatedString(
                                                 id, static_cast<unsigned>(n % UINT_MAX), kDomain);
  return text != nullptr ? text->utf8_string() : std::string();
}

#ifndef _WIN32
namespace fs = std::filesystem;

// Reads <folder>/<lang>/LC_MESSAGES/<domain>.mo from the folders given. wx's own file
// loader asks wxStandardPaths for more folders, which needs the application object, and
// the command line's answers come before there is one.
class FolderLoader : public wxTranslationsLoader {
 public:
  explicit FolderLoader(std::vector<fs::path> folders) : folders_(std::move(folders)) {}

  wxMsgCatalog* LoadCatalog(const wxString& domain, const wxString& lang) override {
    for (const fs::path& folder : folders_) {
      const fs::path file = CatalogFile(folder, lang.utf8_string(), domain.utf8_string());
      std::error_code error;
      if (fs::is_regular_file(file, error)) {
        return wxMsgCatalog::CreateFromFile(wxString::FromUTF8(file.string()), domain);
      }
    }
    return nullptr;
  }

  wxArrayString GetAvailableTranslations(const wxString& domain) const override {
    wxArrayString names;
    for (const fs::path& folder : folders_) {
      std::error_code error;
      for (fs::directory_iterator it(folder, error), end; !error && it != end;
           it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (fs::is_regular_file(CatalogFile(folder, name, domain.utf8_string()), error)) {
          names.Add(wxString::FromUTF8(name));
        }
      }
    }
    return names;
  }

 private:
  static fs::path CatalogFile(const fs::path& folder, const std::string& lang,
                              const std::string& domain) {
    return folder / lang / "LC_MESSAGES" / (domain + ".mo");
  }

  std::vector<fs::path> folders_;  // looked in, in this order
};

// A program in the build tree finds its catalogs in share/locale of the build folder
// (and a relocated installation in ../share/locale), an installed one in the
// configured folder.
wxTranslationsLoader* CatalogLoader() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  std::vector<fs::path> folders;
  if (!error) {
    folders.push_back(program.parent_path().parent_path() / "share" / "locale");
  }
  folders.emplace_back(LUMORET_LOCALEDIR);
  return new FolderLoader(std::move(folders));
}
#endif

// The environment's language settings; on Windows, where they are seldom set, the
// system's language when none is.
LocaleVariables UserLocale() {
  LocaleVariables variables = EnvironmentLocale();
#ifdef _WIN32
  static std::string system;
  if (!variables.language && !variables.lc_all && !variables.lc_messages && !variables.lang) {
    system = wxLocale::GetLanguageCanonicalName(wxLocale::GetSystemLanguage()).utf8_string();
    variables.lang = system.c_str();
  }
#endif
  return variables;
}

}  // namespace

void InstallTranslations() {
  auto* translations = new wxTranslations;
#ifdef _WIN32
  translations->SetLoader(new wxResourceTranslationsLoader);
#else
  translations->SetLoader(CatalogLoader());
#endif
  std::vector<std::string> catalogs;
  for (const wxString& name : translations->GetAvailableTranslations(kDomain)) {
    catalogs.push_back(name.utf8_string());
  }
  Language() = UiLanguage(UserLocale(), catalogs);
  if (Language().empty()) {
    delete translations;  // the msgids are the texts: nothing to load
    return;
  }
  translations->SetLanguage(wxString::FromUTF8(Language()));
  translations->AddCatalog(kDomain, wxLANGUAGE_CHINESE_SIMPLIFIED);
  wxTranslations::Set(translations);
  SetTranslator(&CatalogText);
}

const std::string& TranslationLanguage() {
  return Language();
}

std::string ReadMeFileName() {
  return Language().empty() ? "ReadMe.txt" : "ReadMe." + Language() + ".txt";
}
