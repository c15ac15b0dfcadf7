#ifndef LUMORET_UI_TRANSLATIONS_H
#define LUMORET_UI_TRANSLATIONS_H

#include <wx/string.h>

#include <string>

#include "engine/user_text.h"

// The window's texts through the "lumoret" catalogs. wx's own _() reads a msgid in the
// C library's encoding, which mangles the Chinese ones in the C locale
// (WXINTL_NO_GETTEXT_MACRO turns it off); these read UTF-8, from any thread.
#define _(text) wxString::FromUTF8(Tr(text))
#define wxPLURAL(singular, plural, n) wxString::FromUTF8(TrN(singular, plural, n))

// Picks the user's language (see UiLanguage) and loads its catalog, from the resources on
// Windows, else from the installed locale folder or, for a program run from the build
// tree, share/locale beside its folder. Call once, first thing in main.
void InstallTranslations();

// The catalog in use, such as "en"; empty for Chinese.
const std::string& TranslationLanguage();

// The ReadMe of the window's language: ReadMe.txt, or ReadMe.en.txt for English.
std::string ReadMeFileName();

#endif  // LUMORET_UI_TRANSLATIONS_H
