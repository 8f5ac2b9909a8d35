#include "i18n_zrm_msg.h"

#include <QCoreApplication>

#include <iterator>

namespace {

QMap<QString, QString> &message_catalog()
{
    static QMap<QString, QString> catalog;
    return catalog;
}

#define MSG(code, category, text) {code, category, text, "Error code is \"" code "\""}

// Fill order matters only for duplicates: the later entry replaces the earlier.
const CatalogEntry fill_table[] = {
    MSG("NOMESSDEF", "Generic", "Message code %1 not defined"),
    MSG("STARTEXEC", "Information", "%1%2"),
    MSG("COPYRIGHT", "Information", "%1"),
    MSG("ENDERRWAR", "Information", "End of execution with %1 error(s) and %2 warning(s)"),
    MSG("ENDERRNWR", "Information", "End of execution with %1 error(s)"),
    MSG("ENDNOEWAR", "Information", "End of execution with %1%2 warning(s)"),
    MSG("ENDNOENWR", "Information", "End of execution without errors or warnings"),
    MSG("ENDERRWAR", "Information", "End of execution  with %1 error(s) and %2 warning(s)"),
    MSG("MSGENDPOS", "Information", "Some scenarios are incorrect"),
    MSG("FICNOTOPN", "File error", "File %1 access problem"),
    MSG("FICERROPN", "File error", "File %1 opening problem"),
    MSG("INITPBRLM", "Command line error", "Initialization problem on command line"),
    MSG("BADPREPRO", "Postpro error", "All the .rio reports doesn't comes from the same preprocessor"),
    MSG("NORIOTDCF", "Postpro error", "The %1 file is not an RIO file"),
    MSG("UNKKORVAF", "Postpro error", "The %1 file is not a TDC file neither a RIO one"),
    MSG("TOOMANYFI", "Postpro error", "Too many RIO and/or TDC files on the command line"),
    MSG("NOTDCFRIO", "Postpro error", "No TDC file match this %1 RIO file"),
    MSG("NORIOFTDC", "Postpro error", "No RIO file match this %1 TDC file"),
    MSG("MULTITDCS", "Postpro error", "This %1 RIO file match two or more TDC files"),
    MSG("NEEDTDCFI", "Postpro error", "At least one TDC file should be on the command line"),
    MSG("NEEDRIOFI", "Postpro error", "At least one RIO file should be on the command line"),
    MSG("POSTFAILD", "Postpro error", "The generation of some ROD report has failed. No RDD report generated"),
    MSG("FILESDIFF", "Postpro error", "Reports comes from different test plans"),
    MSG("MERGEPOST", "Postpro error", "Generating report from %1 file"),
    MSG("RODNAMDUP", "Postpro error", "The RIO files %1 both give the ROD file %2. No RDD report generated"),
    MSG("UNEXPTEOF", "Syntax analysis", "%1Unexpected end of file"),
    MSG("ENVJOBBAD", "Environment error",
        "The environment variable ZV_JOBS=\"%1\" is not valid: give from 1 to 64 runs at once, or 0 or auto for one per core"),
    MSG("BADPARAMS", "RIO/TDC analysis", "Incorrect parameters"),
    MSG("SIZBUFOVL", "TDC edition", "Out of bound on output buffer. Contact your administrative."),
};

#undef MSG

} // namespace

void catalog_insert(const char *code, const QString &text)
{
    message_catalog().insert(QString::fromLatin1(code), text);
}

void catalog_fill()
{
    static bool filled = false;
    if (filled)
        return;
    filled = true;
    for (const CatalogEntry &entry : fill_table)
        catalog_insert(entry.code, QCoreApplication::translate(entry.category, entry.text, entry.comment));
}

QString catalog_lookup(const char *code)
{
    const auto &catalog = message_catalog();
    const auto found = catalog.constFind(QString::fromLatin1(code));
    return found == catalog.constEnd() ? QString() : found.value();
}

bool catalog_contains(const char *code) { return message_catalog().contains(QString::fromLatin1(code)); }
