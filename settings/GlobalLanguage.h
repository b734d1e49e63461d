#pragma once

#include <QString>

// The interface language: one of 27 language files in "language/" beside the
// executable, chosen by "LangID" in section "GlobalLanguage" of Config.ini, else
// by the user's locale when it is one of the 27, else English (1033).

inline constexpr int EnglishLanguageID = 1033;

// The current language identifier. Determined once per process and then kept;
// a failed read of the configuration gives English for this call only.
int GetLanguageID();

// The language file of `id`; "English.ini" for an identifier without a file
// name of its own or whose file is missing.
QString GetLanguageFilePath(int id);

// The folder of the language files, ending in "/": "language/" beside the
// executable, or $KAVRO_LANGUAGE_DIR when set (for translators trying a file
// without installing it).
QString LanguageFolder();

// The text of `key` in section "LanguageString" of the current language file,
// with "#13"/"#10" (also with the full-width number sign) turned into line
// breaks and "#32" into a blank; `key` itself when the file lacks it.
QString GetLanguageString(const QString& key);

// A message made by KavroMessage (a key, then the values for its %1, %2, ...)
// in the current language, and the messages of its causes after it. A plain
// text that is no key comes back as it is.
QString TranslateMessage(const QString& message);

// The language cache: -1 while undetermined. Reading it never determines the
// language; resetting it lets the next GetLanguageID() decide anew.
int LanguageCache();
void ResetLanguageCache();
