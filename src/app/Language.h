// The interface language. Chinese is the source text of every caption and line; English comes
// from Qt's translation system (translations/tramelo_en.ts, compiled into the program).
//
// The rule: TRAMELO_LANG=zh or en forces either. Otherwise the locale of messages decides
// (LC_ALL, then LC_MESSAGES, then LANG; LANGUAGE's first entry before them unless the locale is
// C): Chinese for Chinese locales and for C/POSIX or no locale at all, so scripts and stations
// that parse today's lines see them unchanged; English for every other locale. The window and
// the command line follow the same rule.
#pragma once

#include <QString>

class QCoreApplication;

namespace language {

enum class Language { Chinese, English };

struct Environment
{
    QString forced; // TRAMELO_LANG
    QString language, lcAll, lcMessages, lang;
};

Language choose(const Environment &env);
Environment fromProcess();

// The compiled English translation carried by the program.
QString translationFile();

// Qt's own translation (qtbase_zh_CN or qtbase_en in Qt's translations folder) for a language.
QString qtTranslationFile(Language language);

// Installs Qt's own translation of the language the rule (over this process's environment)
// chooses, and the English translation when it says English; returns the language chosen.
// Call once, after the application object exists.
Language install(QCoreApplication &app);

} // namespace language
