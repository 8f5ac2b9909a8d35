#include "i18nutil.h"

#include "cstsyst.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>

void localisation_setup(QCoreApplication &application, const QStringList &prefixes)
{
    const std::string install_dir = getenv_copy("MOLVEXDIR");
    if (install_dir.empty()) {
        std::fprintf(stderr, "%s", "Fatal Error: please setup MOLVEXDIR environment variable.\n");
        process_exit(-1);
    }
    const QString separator = QDir::separator();
    const QFileInfo locale_dir(QString::fromLocal8Bit(install_dir.c_str()) + separator + QStringLiteral("lib") +
                               separator + QStringLiteral("locale"));
    if (!locale_dir.isDir()) {
        const QString text = QStringLiteral("Fatal Error: directory doesn't exist '%1'\n").arg(locale_dir.filePath());
        std::fprintf(stderr, "%s", text.toLocal8Bit().constData());
        process_exit(-1);
    }
    const QString locale_name = QLocale::system().name();
    for (const QString &prefix : prefixes) {
        auto *translator = new QTranslator(&application);
        if (translator->load(prefix + locale_name, locale_dir.filePath()))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}
