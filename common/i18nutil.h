// Localisation set-up: installs one translator per file-name prefix from
// $MOLVEXDIR/lib/locale.
#pragma once

#include <QCoreApplication>
#include <QStringList>

// Ends the process with status -1 when MOLVEXDIR is unset or empty, or when
// its lib/locale directory does not exist.
void localisation_setup(QCoreApplication &application, const QStringList &prefixes);
