<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>MLVXIdent</name>
    <message>
        <source>System Testing Report Generator</source>
        <translation>Générateur de rapports de test système</translation>
    </message>
    <message>
        <source>2.6.1.0.0.1</source>
        <translation>2.6.1.0.0.1</translation>
    </message>
    <message>
        <source>Molvex</source>
        <translation>Molvex</translation>
    </message>
    <message>
        <source>Copyright (c) 2026 the zovizeve developers</source>
        <translation>Copyright (c) 2026 les développeurs de zovizeve</translation>
    </message>
</context>
</TS>
