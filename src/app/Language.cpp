#include "app/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace language {

namespace {

bool chineseOrUnset(const QString &locale)
{
    return locale.isEmpty() || locale == QLatin1String("C") ||
           locale.startsWith(QLatin1String("C.")) || locale == QLatin1String("POSIX") ||
           locale.startsWith(QLatin1String("zh"));
}

} // namespace

Language choose(const Environment &env)
{
    const QString forced = env.forced.trimmed().toLower();
    if (forced == QLatin1String("zh")) return Language::Chinese;
    if (forced == QLatin1String("en")) return Language::English;
    const QString locale = !env.lcAll.isEmpty()        ? env.lcAll
                           : !env.lcMessages.isEmpty() ? env.lcMessages
                                                       : env.lang;
    // As with gettext, LANGUAGE is looked at only when a locale other than C is set.
    if (!env.language.isEmpty() && !chineseOrUnset(locale))
        return env.language.split(QLatin1Char(':')).first().startsWith(QLatin1String("zh"))
                   ? Language::Chinese
                   : Language::English;
    return chineseOrUnset(locale) ? Language::Chinese : Language::English;
}

Environment fromProcess()
{
    return {qEnvironmentVariable("TRAMELO_LANG"), qEnvironmentVariable("LANGUAGE"),
            qEnvironmentVariable("LC_ALL"), qEnvironmentVariable("LC_MESSAGES"),
            qEnvironmentVariable("LANG")};
}

// Where translated texts come from, for the parts of the program that add texts:
// - Classes with Q_OBJECT (TMainForm) use tr(); the context is the class name.
// - Code without a QObject (namespaces texts, pictures, the logic units' message functions,
//   the programmers' file-scope constants) calls QCoreApplication::translate("<context>",
//   "<Chinese source>") where the text is used, never in a static initialiser (that runs
//   before this translator is installed); constants hold the source and are marked with
//   QT_TRANSLATE_NOOP("<context>", "...") so lupdate finds them.
// - Every text is one whole QString with %1 place holders filled by .arg(), so a translation
//   can reorder the parts. Texts that carry state (the port button's caption) are compared
//   with the same translated text they were set from.
// `cmake --build build --target tramelo_app_lupdate` refreshes translations/tramelo_en.ts.
QString translationFile()
{
    return QStringLiteral(":/i18n/tramelo_en.qm");
}

QString qtTranslationFile(Language language)
{
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
           (language == Language::Chinese ? QStringLiteral("/qtbase_zh_CN.qm")
                                          : QStringLiteral("/qtbase_en.qm"));
}

Language install(QCoreApplication &app)
{
    const Language chosen = choose(fromProcess());
    const auto add = [&app](const QString &file) {
        auto *translator = new QTranslator(&app);
        if (translator->load(file))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    };
    // Qt's own texts (file dialogs, the buttons of message boxes) in the same language; a
    // system without Qt's translations (package qt6-translations-l10n) shows them in English.
    add(qtTranslationFile(chosen));
    if (chosen == Language::English) add(translationFile());
    return chosen;
}

} // namespace language
