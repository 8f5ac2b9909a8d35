#include "i18nerrgest.h"

#include "cstsyst.h"
#include "i18n_zrm_msg.h"

#include <cstdio>

QString substitute_lowest_placeholder(const QString &text, const QString &value)
{
    QChar lowest;
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        const QChar digit = text.at(i + 1);
        if (text.at(i) == QLatin1Char('%') && digit >= QLatin1Char('1') && digit <= QLatin1Char('9') &&
            (lowest.isNull() || digit < lowest))
            lowest = digit;
    }
    if (lowest.isNull())
        return text;
    QString result = text;
    return result.replace(QLatin1Char('%') + lowest, value);
}

QString format_message_line(const char *code, char letter, const QString &arg1, const QString &arg2)
{
    QString line = QStringLiteral("Molvex-%1-%2,  ");
    line = substitute_lowest_placeholder(line, QString(QLatin1Char(letter)));
    line = substitute_lowest_placeholder(line, QString::fromLatin1(code));
    if (catalog_contains(code)) {
        QString text = catalog_lookup(code);
        if (!arg1.isEmpty())
            text = substitute_lowest_placeholder(text, arg1);
        if (!arg2.isEmpty())
            text = substitute_lowest_placeholder(text, arg2);
        line += text;
    }
    line += QLatin1Char('\n');
    line.remove(QStringLiteral("%1"));
    line.remove(QStringLiteral("%2"));
    line.remove(QStringLiteral("%3"));
    return line;
}

void report_message(const char *code, char letter, const QString &arg1, const QString &arg2)
{
    write_error_output(format_message_line(code, letter, arg1, arg2).toLocal8Bit().constData());
}

void report_info(const char *code, const QString &arg1, const QString &arg2)
{
    report_message(code, 'I', arg1, arg2);
}

void report_warning(const char *code, const QString &arg1, const QString &arg2)
{
    report_message(code, 'W', arg1, arg2);
}

void report_fatal(const char *code, const QString &arg1, const QString &arg2)
{
    report_message(code, 'F', arg1, arg2);
    process_exit(7);
}

void report_system(const char *code, const QString &arg1, const QString &arg2)
{
    report_message(code, 'S', arg1, arg2);
    process_exit(9);
}
