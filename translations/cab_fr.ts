<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>CAB</name>
    <message>
        <source>Molvex</source>
        <translation>Molvex</translation>
    </message>
    <message>
        <source>Arg value too small,</source>
        <translation>Valeur d&apos;argument trop petite,</translation>
    </message>
    <message>
        <source>Arg value too large,</source>
        <translation>Valeur d&apos;argument trop grande,</translation>
    </message>
    <message>
        <source>Arg length too small,</source>
        <translation>Longueur d&apos;argument trop petite,</translation>
    </message>
    <message>
        <source>Arg length too large,</source>
        <translation>Longueur d&apos;argument trop grande,</translation>
    </message>
    <message>
        <source>Too many arguments invalid argument,</source>
        <translation>Trop d&apos;arguments, argument invalide,</translation>
    </message>
    <message>
        <source>List forbidden invalid argument,</source>
        <translation>Liste interdite, argument invalide,</translation>
    </message>
    <message>
        <source>Unknown option,</source>
        <translation>Option inconnue,</translation>
    </message>
    <message>
        <source>Invalid character following option,</source>
        <translation>Caractère invalide après l&apos;option,</translation>
    </message>
    <message>
        <source>An option can&apos;t be used twice,</source>
        <translation>Une option ne peut pas être utilisée deux fois,</translation>
    </message>
    <message>
        <source>Mandatory argument for this option,</source>
        <translation>Argument obligatoire pour cette option,</translation>
    </message>
    <message>
        <source>No argument for this option,</source>
        <translation>Pas d&apos;argument pour cette option,</translation>
    </message>
    <message>
        <source>List forbidden invalid option,</source>
        <translation>Liste interdite, option invalide,</translation>
    </message>
    <message>
        <source>Argument missing,</source>
        <translation>Argument manquant,</translation>
    </message>
    <message>
        <source>Ambiguous option,</source>
        <translation>Option ambiguë,</translation>
    </message>
    <message>
        <source>Unknown value of option,</source>
        <translation>Valeur d&apos;option inconnue,</translation>
    </message>
    <message>
        <source>Ambiguous value of option,</source>
        <translation>Valeur d&apos;option ambiguë,</translation>
    </message>
    <message>
        <source>Illegal combination of command elements,</source>
        <translation>Combinaison interdite d&apos;éléments de commande,</translation>
    </message>
    <message>
        <source>File not found</source>
        <translation>Fichier introuvable</translation>
    </message>
    <message>
        <source>Command analysis: No memory left</source>
        <translation>Analyse de commande : plus de mémoire disponible</translation>
    </message>
    <message>
        <source>Command analysis</source>
        <translation>Analyse de commande</translation>
    </message>
    <message>
        <source>Internal error, bad option name</source>
        <translation>Erreur interne, nom d&apos;option incorrect</translation>
    </message>
</context>
<context>
    <name>Command-line</name>
    <message>
        <source>
Usage ZOVIZEVE:
&#x9;&lt;TDC_and_RIO_files&gt;[,TDC_and_RIO_files]
&#x9;[-RA=&lt;TEST|ERR|RA&gt;]
&#x9;[-VA=&lt;EVAL|NOEVAL|COMBINE&gt;]
&#x9;[-LE=&lt;GB|FA|FR&gt;]
&#x9;[-COMMENT|-NOCOMMENT]
&#x9;[-PORTRAIT]
&#x9;[-LANDSCAPE]
&#x9;[-NOLOG]
&#x9;[-LOG]
&#x9;[-NORO]
&#x9;[-SUMMARY|-NOSUMMARY]
&#x9;[-RDD=&lt;file_name&gt;]
&#x9;[-TIME]
</source>
        <translation>
Usage ZOVIZEVE:
&#x9;&lt;fichiers_RIO_et_TDC&gt;[,fichiers_RIO_et_TDC]
&#x9;[-RA=&lt;TEST|ERR|RA&gt;]
&#x9;[-VA=&lt;EVAL|NOEVAL|COMBINE&gt;]
&#x9;[-LE=&lt;GB|FA|FR&gt;]
&#x9;[-COMMENT|-NOCOMMENT]
&#x9;[-PORTRAIT]
&#x9;[-LANDSCAPE]
&#x9;[-NOLOG]
&#x9;[-LOG]
&#x9;[-NORO]
&#x9;[-SUMMARY|-NOSUMMARY]
&#x9;[-RDD=&lt;nom_fichier&gt;]
&#x9;[-TIME]
</translation>
    </message>
    <message>
        <source>
Usage ZOVIZEVE:
&#x9;&lt;fichiers_RIO_et_TDC&gt;[,fichiers_RIO_et_TDC]
&#x9;[-RA=&lt;TEST|ERR|RA&gt;]
&#x9;[-VA=&lt;EVAL|NOEVAL|COMBINE&gt;]
&#x9;[-LE=&lt;GB|FA|FR&gt;]
&#x9;[-COMMENT|-NOCOMMENT]
&#x9;[-PORTRAIT]
&#x9;[-LANDSCAPE]
&#x9;[-NOLOG]
&#x9;[-LOG]
&#x9;[-NORO]
&#x9;[-SUMMARY|-NOSUMMARY]
&#x9;[-RDD=&lt;nom_fichier&gt;]
&#x9;[-TIME]
</source>
        <translation>
Usage ZOVIZEVE:
&#x9;&lt;fichiers_RIO_et_TDC&gt;[,fichiers_RIO_et_TDC]
&#x9;[-RA=&lt;TEST|ERR|RA&gt;]
&#x9;[-VA=&lt;EVAL|NOEVAL|COMBINE&gt;]
&#x9;[-LE=&lt;GB|FA|FR&gt;]
&#x9;[-COMMENT|-NOCOMMENT]
&#x9;[-PORTRAIT]
&#x9;[-LANDSCAPE]
&#x9;[-NOLOG]
&#x9;[-LOG]
&#x9;[-NORO]
&#x9;[-SUMMARY|-NOSUMMARY]
&#x9;[-RDD=&lt;nom_fichier&gt;]
&#x9;[-TIME]
</translation>
    </message>
    <message>
        <source>TDC_and_RIO_files</source>
        <translation>fichiers_RIO_et_TDC</translation>
    </message>
    <message>
        <source>LOG and NOLOG</source>
        <translation>LOG et NOLOG</translation>
    </message>
    <message>
        <source>LANDSCAPE and PORTRAIT</source>
        <translation>LANDSCAPE et PORTRAIT</translation>
    </message>
</context>
</TS>
