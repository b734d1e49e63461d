#include "GlobalLanguage.h"

#include "ConfigurationUnit.h"
#include "IniFile.h"
#include "KavroError.h"
#include "PathUtils.h"
#include "SystemLanguage.h"

#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <iterator>

namespace {

std::atomic<int> Cache{-1};

struct TLanguageFile {
    int Id;
    const char* FileName;
};
constexpr TLanguageFile LanguageFiles[] = {
    {1026, "Bulgarian.ini"},
    {1027, "Catalan.ini"},
    {1028, "ChineseTraditional.ini"},
    {1029, "Czech.ini"},
    {1030, "Danish.ini"},
    {1032, "Greek.ini"},
    {1033, "English.ini"},
    {1035, "Finnish.ini"},
    {1038, "Hungarian.ini"},
    {1040, "Italian.ini"},
    {1041, "Japanese.ini"},
    {1042, "Korean.ini"},
    {1044, "Norwegian.ini"},
    {1045, "Polish.ini"},
    {1046, "Portuguese.ini"},
    {1048, "Romanian.ini"},
    {1049, "Russian.ini"},
    {1050, "Croatian.ini"},
    {1051, "Slovak.ini"},
    {1060, "Slovenian.ini"},
    {1079, "georgian.ini"},
    {2052, "ChineseSimplified.ini"},
    {2060, "French.ini"},
    {2067, "Dutch.ini"},
    {2115, "Uzbek.ini"},
    {3079, "German.ini"},
    {11274, "Spanish.ini"},
};

const TLanguageFile* FindLanguage(int id) {
    for (const TLanguageFile& language : LanguageFiles) {
        if (language.Id == id)
            return &language;
    }
    return nullptr;
}

// Fills "%1".."%9" in one pass, so a value that itself holds "%2" stays as it is.
QString FillArguments(const QString& text, const QStringList& arguments) {
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'%' && i + 1 < text.size() && text[i + 1] >= u'1' && text[i + 1] <= u'9') {
            const qsizetype index = text[i + 1].unicode() - u'1';
            if (index < arguments.size()) {
                result += arguments[index];
                ++i;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

} // namespace

int GetLanguageID() {
    const int cached = Cache.load();
    if (cached != -1)
        return cached;
    const int systemDefault = GetSystemDefaultLangID();
    try {
        int id = ReadConfigInteger(QStringLiteral("GlobalLanguage"), QStringLiteral("LangID"),
                                   systemDefault);
        if (!FindLanguage(id))
            id = EnglishLanguageID;
        Cache.store(id);
        return id;
    } catch (...) {
        return EnglishLanguageID;
    }
}

QString LanguageFolder() {
    QString folder = qEnvironmentVariable("KAVRO_LANGUAGE_DIR");
    if (folder.isEmpty())
        return GetExeFolder() + QStringLiteral("language/");
    return folder.endsWith(u'/') ? folder : folder + u'/';
}

QString GetLanguageFilePath(int id) {
    const QString folder = LanguageFolder();
    const TLanguageFile* language = FindLanguage(id);
    const QString path =
        folder + QString::fromLatin1(language ? language->FileName : "English.ini");
    return QFileInfo::exists(path) ? path : folder + QStringLiteral("English.ini");
}

QString GetLanguageString(const QString& key) {
    QString result;
    if (key.isEmpty())
        return result;
    try {
        result = TIniFile(GetLanguageFilePath(GetLanguageID()))
                     .ReadString(QStringLiteral("LanguageString"), key, key);
        result.replace(QStringLiteral("#13"), QStringLiteral("\r"))
            .replace(QStringLiteral("#10"), QStringLiteral("\n"))
            .replace(QStringLiteral("\uFF0313"), QStringLiteral("\r"))
            .replace(QStringLiteral("\uFF0310"), QStringLiteral("\n"))
            .replace(QStringLiteral("#32"), QStringLiteral(" "));
    } catch (...) {
        // Settings never fail their caller: what was produced so far stands.
    }
    return result;
}

QString TranslateMessage(const QString& message) {
    if (message.contains(MessageCauseSeparator)) {
        QStringList messages = message.split(MessageCauseSeparator);
        for (QString& part : messages)
            part = TranslateMessage(part);
        return messages.join(u' ');
    }
    QStringList parts = message.split(MessageArgumentSeparator);
    const QString key = parts.takeFirst();
    const QString text = GetLanguageString(key);
    if (parts.isEmpty())
        return text;
    // Without a translation the values still reach the user.
    if (text == key)
        return key + QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    return FillArguments(text, parts);
}

int LanguageCache() {
    return Cache.load();
}

void ResetLanguageCache() {
    Cache.store(-1);
}
