#ifndef LUMORET_ENGINE_USER_TEXT_H
#define LUMORET_ENGINE_USER_TEXT_H

#include <initializer_list>
#include <string>

// Texts a user reads, in the user's language, without tying the engine to a toolkit. A
// text's msgid is the Chinese the window shows in the C locale; the program installs a
// translator over its catalogs (domain "lumoret"), and without one a text is its msgid.
// xgettext keywords: Tr, TrN:1,2 and TR_NOOP.

// Returns the translation of msgid (plural nullptr), or the form of the pair msgid, plural
// for n; empty when there is none
// (a catalog never translates to nothing). Called from any thread: it must only read.
using Translator = std::string (*)(const char* msgid, const char* plural, unsigned long n);

// Installs the translator (nullptr: none), before any thread that translates starts.
void SetTranslator(Translator translator);

// msgid in the user's language.
std::string Tr(const char* msgid);

// The form of a counted text for n: singular or plural when untranslated.
std::string TrN(const char* singular, const char* plural, unsigned long n);

// Marks a text for xgettext where it is defined; Tr translates it where it is shown.
#define TR_NOOP(text) text

// text with each "%s" replaced by the next value, in order, and "%%" by "%". Works on
// any text a catalog gives: a missing value leaves "%s" and a spare one is dropped, so a
// faulty translation shows wrong but never crashes.
std::string Fill(const std::string& text, std::initializer_list<std::string> values);

#endif  // LUMORET_ENGINE_USER_TEXT_H
