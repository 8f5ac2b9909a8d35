<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>Generic</name>
    <message>
        <source>Message code %1 not defined</source>
        <comment>Error code is "NOMESSDEF"</comment>
        <translation>Code de message %1 non défini</translation>
    </message>
</context>
<context>
    <name>Information</name>
    <message>
        <source>%1%2</source>
        <comment>Error code is "STARTEXEC"</comment>
        <translation>%1%2</translation>
    </message>
    <message>
        <source>%1</source>
        <comment>Error code is "COPYRIGHT"</comment>
        <translation>%1</translation>
    </message>
    <message>
        <source>End of execution with %1 error(s) and %2 warning(s)</source>
        <comment>Error code is "ENDERRWAR"</comment>
        <translation>Fin d'exécution avec %1 erreur(s) et %2 avertissement(s)</translation>
    </message>
    <message>
        <source>End of execution with %1 error(s)</source>
        <comment>Error code is "ENDERRNWR"</comment>
        <translation>Fin d'exécution avec %1 erreur(s)</translation>
    </message>
    <message>
        <source>End of execution with %1%2 warning(s)</source>
        <comment>Error code is "ENDNOEWAR"</comment>
        <translation>Fin d'exécution avec %1%2 avertissement(s)</translation>
    </message>
    <message>
        <source>End of execution without errors or warnings</source>
        <comment>Error code is "ENDNOENWR"</comment>
        <translation>Fin d'exécution sans erreur ni avertissement</translation>
    </message>
    <message>
        <source>End of execution  with %1 error(s) and %2 warning(s)</source>
        <comment>Error code is "ENDERRWAR"</comment>
        <translation>Fin d'exécution  avec %1 erreur(s) et %2 avertissement(s)</translation>
    </message>
    <message>
        <source>Some scenarios are incorrect</source>
        <comment>Error code is "MSGENDPOS"</comment>
        <translation>Certains scénarios sont incorrects</translation>
    </message>
</context>
<context>
    <name>File error</name>
    <message>
        <source>File %1 access problem</source>
        <comment>Error code is "FICNOTOPN"</comment>
        <translation>Problème d'accès au fichier %1</translation>
    </message>
    <message>
        <source>File %1 opening problem</source>
        <comment>Error code is "FICERROPN"</comment>
        <translation>Problème d'ouverture du fichier %1</translation>
    </message>
</context>
<context>
    <name>Command line error</name>
    <message>
        <source>Initialization problem on command line</source>
        <comment>Error code is "INITPBRLM"</comment>
        <translation>Problème d'initialisation sur la ligne de commande</translation>
    </message>
</context>
<context>
    <name>Postpro error</name>
    <message>
        <source>All the .rio reports doesn't comes from the same preprocessor</source>
        <comment>Error code is "BADPREPRO"</comment>
        <translation>Les rapports .rio ne proviennent pas tous du même préprocesseur</translation>
    </message>
    <message>
        <source>The %1 file is not an RIO file</source>
        <comment>Error code is "NORIOTDCF"</comment>
        <translation>Le fichier %1 n'est pas un fichier RIO</translation>
    </message>
    <message>
        <source>The %1 file is not a TDC file neither a RIO one</source>
        <comment>Error code is "UNKKORVAF"</comment>
        <translation>Le fichier %1 n'est ni un fichier TDC ni un fichier RIO</translation>
    </message>
    <message>
        <source>Too many RIO and/or TDC files on the command line</source>
        <comment>Error code is "TOOMANYFI"</comment>
        <translation>Trop de fichiers RIO et/ou TDC sur la ligne de commande</translation>
    </message>
    <message>
        <source>No TDC file match this %1 RIO file</source>
        <comment>Error code is "NOTDCFRIO"</comment>
        <translation>Aucun fichier TDC ne correspond au fichier RIO %1</translation>
    </message>
    <message>
        <source>No RIO file match this %1 TDC file</source>
        <comment>Error code is "NORIOFTDC"</comment>
        <translation>Aucun fichier RIO ne correspond au fichier TDC %1</translation>
    </message>
    <message>
        <source>This %1 RIO file match two or more TDC files</source>
        <comment>Error code is "MULTITDCS"</comment>
        <translation>Le fichier RIO %1 correspond à plusieurs fichiers TDC</translation>
    </message>
    <message>
        <source>At least one TDC file should be on the command line</source>
        <comment>Error code is "NEEDTDCFI"</comment>
        <translation>Au moins un fichier TDC doit figurer sur la ligne de commande</translation>
    </message>
    <message>
        <source>At least one RIO file should be on the command line</source>
        <comment>Error code is "NEEDRIOFI"</comment>
        <translation>Au moins un fichier RIO doit figurer sur la ligne de commande</translation>
    </message>
    <message>
        <source>The generation of some ROD report has failed. No RDD report generated</source>
        <comment>Error code is "POSTFAILD"</comment>
        <translation>La génération d'un rapport ROD a échoué. Aucun rapport RDD généré</translation>
    </message>
    <message>
        <source>Reports comes from different test plans</source>
        <comment>Error code is "FILESDIFF"</comment>
        <translation>Les rapports proviennent de plans de test différents</translation>
    </message>
    <message>
        <source>Generating report from %1 file</source>
        <comment>Error code is "MERGEPOST"</comment>
        <translation>Génération du rapport à partir du fichier %1</translation>
    </message>
    <message>
        <source>The RIO files %1 both give the ROD file %2. No RDD report generated</source>
        <comment>Error code is "RODNAMDUP"</comment>
        <translation>Les fichiers RIO %1 donnent tous deux le fichier ROD %2. Aucun rapport RDD généré</translation>
    </message>
</context>
<context>
    <name>Environment error</name>
    <message>
        <source>The environment variable ZV_JOBS="%1" is not valid: give from 1 to 64 runs at once, or 0 or auto for one per core</source>
        <comment>Error code is "ENVJOBBAD"</comment>
        <translation>La variable d'environnement ZV_JOBS="%1" n'est pas valide : donnez de 1 à 64 exécutions simultanées, ou 0 ou auto pour une par cœur</translation>
    </message>
</context>
<context>
    <name>Syntax analysis</name>
    <message>
        <source>%1Unexpected end of file</source>
        <comment>Error code is "UNEXPTEOF"</comment>
        <translation>%1Fin de fichier inattendue</translation>
    </message>
</context>
<context>
    <name>RIO/TDC analysis</name>
    <message>
        <source>Incorrect parameters</source>
        <comment>Error code is "BADPARAMS"</comment>
        <translation>Paramètres incorrects</translation>
    </message>
</context>
<context>
    <name>TDC edition</name>
    <message>
        <source>Out of bound on output buffer. Contact your administrative.</source>
        <comment>Error code is "SIZBUFOVL"</comment>
        <translation>Dépassement du tampon de sortie. Contactez votre administrateur.</translation>
    </message>
</context>
<context>
    <name>Fatal error</name>
    <message>
        <source>FATAL ERROR on malloc,
 Please contact your administrative.
</source>
        <translation>ERREUR FATALE sur malloc,
 Veuillez contacter votre administrateur.
</translation>
    </message>
    <message>
        <source>FATAL ERROR on strdup,
 Please contact your administrative.
</source>
        <translation>ERREUR FATALE sur strdup,
 Veuillez contacter votre administrateur.
</translation>
    </message>
    <message>
        <source>FATAL ERROR on realloc,
 Please contact your administrative.
</source>
        <translation>ERREUR FATALE sur realloc,
 Veuillez contacter votre administrateur.
</translation>
    </message>
    <message>
        <source>FATAL ERROR on fclose,
 Please contact your administrative.
</source>
        <translation>ERREUR FATALE sur fclose,
 Veuillez contacter votre administrateur.
</translation>
    </message>
    <message>
        <source>FATAL ERROR on sprintf (%1),
 Please contact your administrative.
</source>
        <comment>%1 : the sprintf format</comment>
        <translation>ERREUR FATALE sur sprintf (%1),
 Veuillez contacter votre administrateur.
</translation>
    </message>
</context>
</TS>
