// Message catalog: message code -> translated text, filled once at start-up
// after the translators are installed.
#pragma once

#include <QMap>
#include <QString>

struct CatalogEntry {
    const char *code;
    const char *category; // translation context
    const char *text;     // English source text
    const char *comment;  // translator comment: Error code is "CODE"
};

void catalog_fill();
void catalog_insert(const char *code, const QString &text);
// The text for `code` (exact, case-sensitive), or null QString when absent.
QString catalog_lookup(const char *code);
bool catalog_contains(const char *code);
