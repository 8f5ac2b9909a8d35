// Error reporting: one coded message line on standard error per report.
#pragma once

#include <QString>

// "Molvex-<letter>-<code>,  " + catalog text with the arguments put in + "\n",
// with left-over %1 %2 %3 removed.
QString format_message_line(const char *code, char letter, const QString &arg1, const QString &arg2);
// Replaces every occurrence of the lowest-numbered placeholder %1..%9 in
// `text` by `value` (the rule of QString::arg); unchanged when there is none.
QString substitute_lowest_placeholder(const QString &text, const QString &value);

void report_message(const char *code, char letter, const QString &arg1, const QString &arg2);
void report_info(const char *code, const QString &arg1, const QString &arg2);
void report_warning(const char *code, const QString &arg1, const QString &arg2);
[[noreturn]] void report_fatal(const char *code, const QString &arg1, const QString &arg2);
[[noreturn]] void report_system(const char *code, const QString &arg1, const QString &arg2);
