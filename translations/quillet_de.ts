<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>app</name>
    <message>
        <location filename="../src/ui/address_book_window.cpp" line="+308"/>
        <location filename="../src/app/intercom_app_contacts.cpp" line="+21"/>
        <source>Confirm Delete</source>
        <translation>Löschen bestätigen</translation>
    </message>
    <message>
        <location line="+1"/>
        <location filename="../src/app/intercom_app_contacts.cpp" line="+1"/>
        <source>Are you sure you want to delete the selected contact?</source>
        <translation>Möchten Sie den ausgewählten Kontakt wirklich löschen?</translation>
    </message>
    <message>
        <location line="+18"/>
        <source>The email address of this contact is not valid. Please try again.</source>
        <translation>Die E-Mail-Adresse dieses Kontakts ist ungültig. Bitte versuchen Sie es erneut.</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>The selected file already exists. Do you wish to overwrite it</source>
        <translation>Die ausgewählte Datei existiert bereits. Möchten Sie sie überschreiben?</translation>
    </message>
    <message>
        <location filename="../src/ui/line_settings_dialog.cpp" line="+276"/>
        <source>Invalid Outbound Server</source>
        <translation>Ungültiger Ausgangsserver</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Please enter the outbound server address that you want to use.</source>
        <translation>Bitte geben Sie die Adresse des Ausgangsservers ein, den Sie verwenden möchten.</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Invalid Default Authentication ID</source>
        <translation>Ungültige Authentifizierungs-ID</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Please enter the default authentication id that you want to use.</source>
        <translation>Bitte geben Sie die Authentifizierungs-ID ein, die Sie verwenden möchten.</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Invalid TLS CA File</source>
        <translation>Ungültige TLS-CA-Datei</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The TLS CA file cannot be read. Please choose a file of certificate authorities, or leave the field empty to trust only the system&apos;s.</source>
        <translation>Die TLS-CA-Datei kann nicht gelesen werden. Bitte wählen Sie eine Datei mit Zertifizierungsstellen oder lassen Sie das Feld leer, um nur denen des Systems zu vertrauen.</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window_help.cpp" line="+63"/>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>This wizard does not work if you have manually setup a STATIC IP or port mapping. Turn Static IP mapping off and run this again.</source>
        <translation>Dieser Assistent funktioniert nicht, wenn Sie eine statische IP-Adresse oder Portzuordnung von Hand eingerichtet haben. Schalten Sie die statische IP-Zuordnung aus und starten Sie ihn erneut.</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window.cpp" line="+514"/>
        <source>Exit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Are you sure to exit Quillet ?</source>
        <translation>Möchten Sie Quillet wirklich beenden?</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Confirm Exit</source>
        <translation>Beenden bestätigen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do you want Quillet to continue to receive intercoms in the background?</source>
        <translation>Soll Quillet im Hintergrund weiter Gegensprechanrufe empfangen?</translation>
    </message>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="+382"/>
        <source>Username Missing</source>
        <translation>Benutzername fehlt</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>You must enter your username</source>
        <translation>Sie müssen Ihren Benutzernamen eingeben</translation>
    </message>
    <message>
        <location line="+54"/>
        <source>Invalid RTP Port</source>
        <translation>Ungültiger RTP-Port</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The RTP port base must be an even number.</source>
        <translation>Der erste RTP-Port muss eine gerade Zahl sein.</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>Invalid TLS Port</source>
        <translation>Ungültiger TLS-Port</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The SIP TLS port must differ from the SIP port.</source>
        <translation>Der SIP-TLS-Port muss sich vom SIP-Port unterscheiden.</translation>
    </message>
    <message>
        <location line="+44"/>
        <source>Invalid Public Address</source>
        <translation>Ungültige öffentliche Adresse</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Please enter the public IP address of the static mapping.</source>
        <translation>Bitte geben Sie die öffentliche IP-Adresse der statischen Zuordnung ein.</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="+128"/>
        <source>Hot Key Not Added</source>
        <translation>Tastenkürzel nicht hinzugefügt</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Press Add to keep the hot key you entered, or clear it.</source>
        <translation>Klicken Sie auf „Hinzufügen“, um das eingegebene Tastenkürzel zu übernehmen, oder löschen Sie es.</translation>
    </message>
    <message>
        <location filename="../src/app/intercom_app.cpp" line="+45"/>
        <source>Quillet: press Intercom and speak</source>
        <translation>Quillet: Gegensprechen drücken und sprechen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Your first word reaches the far end, even while it rings</source>
        <translation>Schon Ihr erstes Wort kommt an, auch während es noch klingelt</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Allowed callers are answered on the first ring</source>
        <translation>Erlaubte Anrufer werden beim ersten Klingeln angenommen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do Not Disturb refuses every incoming call</source>
        <translation>„Nicht stören“ weist jeden eingehenden Anruf ab</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Quillet runs in the background to receive intercoms</source>
        <translation>Quillet läuft im Hintergrund weiter, um Gegensprechanrufe zu empfangen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Contacts can be imported from CSV files</source>
        <translation>Kontakte lassen sich aus CSV-Dateien importieren</translation>
    </message>
    <message>
        <location line="+109"/>
        <source>Welcome</source>
        <translation>Willkommen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Welcome to Quillet.<byte value="xd"/>
<byte value="xd"/>
Would you like to read the tutorial now?</source>
        <translation>Willkommen bei Quillet.<byte value="xd"/>
<byte value="xd"/>
Möchten Sie jetzt die Einführung lesen?</translation>
    </message>
    <message>
        <location line="+113"/>
        <source>Line not Setup</source>
        <translation>Leitung nicht eingerichtet</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>You must specify details the line. Please enter the details</source>
        <translation>Die Angaben zur Leitung fehlen. Bitte geben Sie sie ein.</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>You should now add contacts to connect</source>
        <translation>Fügen Sie jetzt Kontakte hinzu, um sie zu erreichen</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>While a call is ringing or is active you may not change options</source>
        <translation>Solange ein Anruf klingelt oder läuft, können die Optionen nicht geändert werden</translation>
    </message>
    <message>
        <location line="+470"/>
        <source>Cancel (F5)</source>
        <translation>Abbrechen (F5)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Intercom (F5)</source>
        <translation>Gegensprechen (F5)</translation>
    </message>
    <message>
        <location filename="../src/app/intercom_app_incoming.cpp" line="+228"/>
        <source>Incoming Call</source>
        <translation>Eingehender Anruf</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Incoming SIP call was detected.
Would you like to start conversation ?</source>
        <translation>Ein eingehender SIP-Anruf wurde erkannt.
Möchten Sie das Gespräch beginnen?</translation>
    </message>
    <message>
        <location filename="../src/app/hot_keys.cpp" line="+25"/>
        <source>Intercom with selected contact</source>
        <translation>Gegensprechen mit dem ausgewählten Kontakt</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Show Quillet</source>
        <translation>Quillet anzeigen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hide Quillet</source>
        <translation>Quillet ausblenden</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Close Quillet</source>
        <translation>Quillet beenden</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Show Address Book</source>
        <translation>Adressbuch anzeigen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hide Address Book</source>
        <translation>Adressbuch ausblenden</translation>
    </message>
</context>
<context>
    <name>quillet::ui::Accessibility</name>
    <message>
        <location filename="../src/ui/accessibility.cpp" line="+88"/>
        <source>More tools</source>
        <translation>Weitere Werkzeuge</translation>
    </message>
</context>
<context>
    <name>quillet::ui::AddressBookWindow</name>
    <message>
        <location filename="../src/ui/address_book_window.cpp" line="-289"/>
        <source>CSV Files(*.csv)</source>
        <translation>CSV-Dateien (*.csv)</translation>
    </message>
    <message>
        <location line="+52"/>
        <source>Address Book</source>
        <translation>Adressbuch</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Number</source>
        <translation>Nummer</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Auto Intercom</source>
        <translation>Auto-Gegensprechen</translation>
    </message>
    <message>
        <location line="+4"/>
        <location line="+22"/>
        <source>Contacts</source>
        <translation>Kontakte</translation>
    </message>
    <message>
        <location line="-21"/>
        <source>Name, number and whether an intercom call from the contact is answered by itself; its context menu edits the contact</source>
        <translation>Name, Nummer und ob ein Gegensprechanruf des Kontakts von selbst angenommen wird; das Kontextmenü bearbeitet den Kontakt</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&amp;Contacts</source>
        <translation>&amp;Kontakte</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;New...</source>
        <translation>&amp;Neu …</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Edit...</source>
        <translation>&amp;Bearbeiten …</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Delete...</source>
        <translation>&amp;Löschen …</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Import Addresses...</source>
        <translation>Adressen &amp;importieren …</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Export Addresses...</source>
        <translation>Adressen e&amp;xportieren …</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Help Contents</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>About Quillet ...</source>
        <translation>Über Quillet …</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Add new contact (Ctrl+N)</source>
        <translation>Neuen Kontakt hinzufügen (Strg+N)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Edit contact details (Ctrl+E)</source>
        <translation>Kontakt bearbeiten (Strg+E)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Delete the selected contact (Ctrl+Del)</source>
        <translation>Ausgewählten Kontakt löschen (Strg+Entf)</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>E&amp;mail</source>
        <translation>E-&amp;Mail</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Automatic intercom</source>
        <translation>&amp;Automatisches Gegensprechen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Quick transfer</source>
        <translation>&amp;Schnellweiterleitung</translation>
    </message>
    <message>
        <location line="+52"/>
        <source>On</source>
        <translation>Ein</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Off</source>
        <translation>Aus</translation>
    </message>
    <message>
        <location line="+137"/>
        <source>CSV File to Export To</source>
        <translation>CSV-Datei für den Export</translation>
    </message>
    <message>
        <location line="+42"/>
        <source>CSV File to Import Addresses from</source>
        <translation>CSV-Datei mit den zu importierenden Adressen</translation>
    </message>
    <message>
        <location line="+38"/>
        <source>Importing Contacts</source>
        <translation>Kontakte werden importiert</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Import CSV File</source>
        <translation>CSV-Datei importieren</translation>
    </message>
</context>
<context>
    <name>quillet::ui::CallHistoryWidget</name>
    <message>
        <location filename="../src/ui/call_history_widget.cpp" line="+46"/>
        <source>Call</source>
        <translation>Anruf</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Time</source>
        <translation>Zeit</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Duration</source>
        <translation>Dauer</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Call history</source>
        <translation>Anrufliste</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The calls, newest first; a double-click calls the far end back</source>
        <translation>Die Anrufe, neueste zuerst; ein Doppelklick ruft die Gegenstelle zurück</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Call Back</source>
        <translation>Zurückrufen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Call the far end of the selected call</source>
        <translation>Die Gegenstelle des gewählten Anrufs anrufen</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>Missed</source>
        <translation>Verpasst</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Intercom in</source>
        <translation>Gegensprechen eingehend</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Intercom out</source>
        <translation>Gegensprechen ausgehend</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>In</source>
        <translation>Eingehend</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Out</source>
        <translation>Ausgehend</translation>
    </message>
</context>
<context>
    <name>quillet::ui::CallsPanel</name>
    <message>
        <location filename="../src/ui/calls_panel.cpp" line="+22"/>
        <source>Active</source>
        <translation>Aktiv</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>On hold</source>
        <translation>Gehalten</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Waiting</source>
        <translation>Wartet</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>Answer</source>
        <translation>Annehmen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Answer the waiting call; the current call is put on hold</source>
        <translation>Den wartenden Anruf annehmen; der laufende Anruf wird gehalten</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Answers the call that waits; the call you are in is put on hold</source>
        <translation>Nimmt den wartenden Anruf an; Ihr laufender Anruf wird gehalten</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Switch</source>
        <translation>Wechseln</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hold the active call and resume the held one</source>
        <translation>Den aktiven Anruf halten und den gehaltenen fortsetzen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Puts the active call on hold and resumes the held one</source>
        <translation>Hält den aktiven Anruf und setzt den gehaltenen fort</translation>
    </message>
    <message>
        <location line="+18"/>
        <source>%1 - %2</source>
        <translation>%1 - %2</translation>
    </message>
</context>
<context>
    <name>quillet::ui::ContactDialog</name>
    <message>
        <location filename="../src/ui/contact_dialog.cpp" line="+22"/>
        <source>Add New Contact</source>
        <translation>Neuen Kontakt hinzufügen</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Edit Contact</source>
        <translation>Kontakt bearbeiten</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Contact &amp;name</source>
        <translation>&amp;Name des Kontakts</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Number or &amp;sip address</source>
        <translation>Nummer oder &amp;SIP-Adresse</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Email address</source>
        <translation>&amp;E-Mail-Adresse</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>A number on the line&apos;s server, user@host or a sip: address</source>
        <translation>Eine Nummer auf dem Server der Leitung, benutzer@host oder eine sip:-Adresse</translation>
    </message>
</context>
<context>
    <name>quillet::ui::DesktopNotices</name>
    <message>
        <location filename="../src/ui/desktop_notices.cpp" line="+39"/>
        <source>Answer</source>
        <translation>Annehmen</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Refuse</source>
        <translation>Ablehnen</translation>
    </message>
    <message>
        <location line="+22"/>
        <source>Encrypted call (%1)</source>
        <translation>Verschlüsselter Anruf (%1)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Incoming call</source>
        <translation>Eingehender Anruf</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Missed call</source>
        <translation>Verpasster Anruf</translation>
    </message>
</context>
<context>
    <name>quillet::ui::LineSettingsDialog</name>
    <message>
        <location filename="../src/ui/line_settings_dialog.cpp" line="-250"/>
        <location line="+7"/>
        <source>Automatic</source>
        <translation>Automatisch</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Off</source>
        <translation>Aus</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SDES-SRTP (keys over TLS only)</source>
        <translation>SDES-SRTP (Schlüssel nur über TLS)</translation>
    </message>
    <message>
        <location line="+45"/>
        <source>Advanced Sip Server Settings</source>
        <translation>Erweiterte SIP-Server-Einstellungen</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>&amp;Outbound Server</source>
        <translation>&amp;Ausgangsserver</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use the s&amp;pecified server</source>
        <translation>Den angegebenen &amp;Server verwenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use a &amp;different outbound server</source>
        <translation>Einen an&amp;deren Ausgangsserver verwenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do &amp;not use an outbound server</source>
        <translation>&amp;Keinen Ausgangsserver verwenden</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>The server that SIP requests go through instead of the line&apos;s server</source>
        <translation>Der Server, über den SIP-Anfragen statt über den Server der Leitung laufen</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Outbound &amp;Server:</source>
        <translation>Ausgangs&amp;server:</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>&amp;Authentication User Name</source>
        <translation>Benutzername für die &amp;Anmeldung</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use the default &amp;User ID</source>
        <translation>Die Standard-&amp;Benutzerkennung verwenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use a d&amp;ifferent username</source>
        <translation>E&amp;inen anderen Benutzernamen verwenden</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>The user name that the server authenticates instead of the SIP number</source>
        <translation>Der Benutzername, den der Server statt der SIP-Nummer prüft</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Au&amp;th ID:</source>
        <translation>Anmelde-&amp;ID:</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>&amp;Connection</source>
        <translation>&amp;Verbindung</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Automatic: UDP, unless the server&apos;s address asks for another transport. A server address with sips: or ;transport= keeps its own whatever the choice here.</source>
        <translation>Automatisch: UDP, sofern die Adresse des Servers kein anderes Protokoll verlangt. Eine Serveradresse mit sips: oder ;transport= behält ihr eigenes, gleich was hier gewählt ist.</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>&lt;only the system&apos;s authorities&gt;</source>
        <translation>&lt;nur die Zertifizierungsstellen des Systems&gt;</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>A file of certificate authorities (PEM) trusted beside the system&apos;s</source>
        <translation>Eine Datei mit Zertifizierungsstellen (PEM), denen zusätzlich zu denen des Systems vertraut wird</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Browse...</source>
        <translation>&amp;Durchsuchen …</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Chooses the TLS CA file</source>
        <translation>Wählt die TLS-CA-Datei</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&amp;Verify the server&apos;s certificate</source>
        <translation>Zertifikat des Servers &amp;prüfen</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Checks over TLS that the server is the one named by its address</source>
        <translation>Prüft über TLS, ob der Server der ist, den seine Adresse nennt</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Without verification anyone on the path can pretend to be the server and read the call.</source>
        <translation>Ohne Prüfung kann sich jeder auf dem Weg als Server ausgeben und den Anruf mitlesen.</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Encrypts the call&apos;s audio. SDES sends the keys in the call set-up, so only over TLS; DTLS agrees on them with the far end directly. Automatic: DTLS, and SDES beside it over TLS, where the far end can.</source>
        <translation>Verschlüsselt den Ton des Anrufs. SDES sendet die Schlüssel beim Verbindungsaufbau, daher nur über TLS; DTLS vereinbart sie direkt mit der Gegenseite. Automatisch: DTLS und, über TLS, daneben SDES, wo die Gegenseite es kann.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Refuse calls &amp;without encrypted media</source>
        <translation>Anrufe &amp;ohne verschlüsselten Ton abweisen</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Calls whose audio would not be encrypted are refused or ended</source>
        <translation>Anrufe, deren Ton nicht verschlüsselt wäre, werden abgewiesen oder beendet</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>T&amp;ransport:</source>
        <translation>&amp;Protokoll:</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>TLS CA &amp;file:</source>
        <translation>TLS-CA-&amp;Datei:</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>&amp;Media encryption:</source>
        <translation>&amp;Medienverschlüsselung:</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>TLS CA File</source>
        <translation>TLS-CA-Datei</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Certificates (*.pem *.crt *.cer);;All Files (*)</source>
        <translation>Zertifikate (*.pem *.crt *.cer);;Alle Dateien (*)</translation>
    </message>
</context>
<context>
    <name>quillet::ui::LogViewWidget</name>
    <message>
        <location filename="../src/ui/log_view_widget.cpp" line="+38"/>
        <source>Log history</source>
        <translation>Protokollverlauf</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Scrolls back to older log lines</source>
        <translation>Blättert zu älteren Protokollzeilen zurück</translation>
    </message>
</context>
<context>
    <name>quillet::ui::MainWindow</name>
    <message>
        <location filename="../src/ui/main_window.cpp" line="-379"/>
        <location line="+158"/>
        <source>Contacts</source>
        <translation>Kontakte</translation>
    </message>
    <message>
        <location line="-157"/>
        <source>The contact that Intercom calls; its context menu adds, edits and deletes contacts</source>
        <translation>Der Kontakt, den „Gegensprechen“ anruft; das Kontextmenü fügt Kontakte hinzu, bearbeitet und löscht sie</translation>
    </message>
    <message>
        <location line="+5"/>
        <location line="+2"/>
        <source>Intercom (F5)</source>
        <translation>Gegensprechen (F5)</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Calls the selected contact, whose loudspeaker plays you at once; the microphone is live while the button is held. Key: F5</source>
        <translation>Ruft den ausgewählten Kontakt an, dessen Lautsprecher Sie sofort wiedergibt; solange die Taste gedrückt ist, ist das Mikrofon offen. Taste: F5</translation>
    </message>
    <message>
        <location line="+6"/>
        <location line="+133"/>
        <location filename="../src/ui/main_window_status.cpp" line="+104"/>
        <location filename="../src/ui/translation_test.cpp" line="+220"/>
        <source>Do Not Disturb</source>
        <translation>Nicht stören</translation>
    </message>
    <message>
        <location line="-131"/>
        <source>Click to turn off incoming calls (Ctrl+U)</source>
        <translation>Klicken, um eingehende Anrufe abzuweisen (Strg+U)</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>While pressed, incoming calls are turned away. Key: Ctrl+U</source>
        <translation>Solange gedrückt, werden eingehende Anrufe abgewiesen. Taste: Strg+U</translation>
    </message>
    <message>
        <location line="+6"/>
        <location line="+122"/>
        <location line="+318"/>
        <source>Hold</source>
        <translation>Halten</translation>
    </message>
    <message>
        <location line="-438"/>
        <source>Put the call on hold, or resume it</source>
        <translation>Gespräch halten oder fortsetzen</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Puts the connected call on hold: the far end hears a soft tone or silence and you hear nothing. Press again to resume.</source>
        <translation>Hält das verbundene Gespräch: Die Gegenstelle hört einen leisen Ton oder Stille, und Sie hören nichts. Erneut drücken, um fortzusetzen.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Refuse</source>
        <translation>Ablehnen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Refuse the ringing call</source>
        <translation>Den klingelnden Anruf ablehnen</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>Speaker Volume Level Meter</source>
        <translation>Pegelanzeige Lautsprecher</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone Volume Level Meter</source>
        <translation>Pegelanzeige Mikrofon</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker Volume Control</source>
        <translation>Lautstärke Lautsprecher</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone Volume Control</source>
        <translation>Verstärkung Mikrofon</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker level</source>
        <translation>Lautsprecherpegel</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How loud the far end plays</source>
        <translation>Wie laut die Gegenseite ankommt</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone level</source>
        <translation>Mikrofonpegel</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How loud the microphone hears you</source>
        <translation>Wie laut das Mikrofon Sie hört</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker volume</source>
        <translation>Lautsprecherlautstärke</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How loud calls play on the speaker</source>
        <translation>Wie laut Anrufe über den Lautsprecher klingen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone volume</source>
        <translation>Mikrofonverstärkung</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How much the microphone is amplified</source>
        <translation>Wie stark das Mikrofon verstärkt wird</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker</source>
        <translation>Lautsprecher</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Microphone</source>
        <translation>Mikrofon</translation>
    </message>
    <message>
        <location line="+18"/>
        <location line="+8"/>
        <source>Log</source>
        <translation>Protokoll</translation>
    </message>
    <message>
        <location line="-7"/>
        <source>What Quillet did, newest last; its context menu is the main menu</source>
        <translation>Was Quillet getan hat, das Neueste zuletzt; das Kontextmenü ist das Hauptmenü</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Calls</source>
        <translation>Anrufe</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Call quality</source>
        <translation>Gesprächsqualität</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The running call&apos;s codec, packets sent, received and lost, jitter and round trip, renewed every second</source>
        <translation>Codec, gesendete, empfangene und verlorene Pakete, Jitter und Umlaufzeit des laufenden Gesprächs, jede Sekunde erneuert</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>File</source>
        <translation>Datei</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Intercom</source>
        <translation>Gegensprechen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Phone Call</source>
        <translation>Telefonanruf</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Voicemail</source>
        <translation>Sprachbox</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Page</source>
        <translation>Durchsage</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>O&amp;ptions...</source>
        <translation>&amp;Optionen …</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Network Wizard...</source>
        <translation>Netzwerk-Assistent …</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Add Contact</source>
        <translation>Kontakt &amp;hinzufügen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Edit Contact</source>
        <translation>Kontakt &amp;bearbeiten</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Delete Contact</source>
        <translation>Kontakt &amp;löschen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Address Book</source>
        <translation>Adressbuch</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>View</source>
        <translation>Ansicht</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Status Panel</source>
        <translation>Statusleiste</translation>
    </message>
    <message>
        <location line="+1"/>
        <location line="+20"/>
        <source>Tool Bar</source>
        <translation>Werkzeugleiste</translation>
    </message>
    <message>
        <location line="-19"/>
        <source>Logs Folder</source>
        <translation>Protokollordner</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hide</source>
        <translation>Ausblenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Help Contents</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>About Quillet ...</source>
        <translation>Über Quillet …</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>&amp;Add...</source>
        <translation>&amp;Hinzufügen …</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Edit...</source>
        <translation>&amp;Bearbeiten …</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Delete...</source>
        <translation>&amp;Löschen …</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window_help.cpp" line="-12"/>
        <source>About Quillet</source>
        <translation>Über Quillet</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Quillet %1

A hands-free SIP desk intercom and SIP telephone.
Press Intercom and speak: your first word reaches the far end.</source>
        <translation>Quillet %1

Eine SIP-Gegensprechanlage zum Freisprechen am Schreibtisch und ein SIP-Telefon.
Drücken Sie „Gegensprechen“ und sprechen Sie: Schon Ihr erstes Wort kommt an.</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window.cpp" line="+287"/>
        <source>Resume</source>
        <translation>Fortsetzen</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>IP: %1</source>
        <translation>IP: %1</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP: %1</source>
        <translation>SIP: %1</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>%1: sent %2, received %3, lost %4 (%5 %), jitter %6 ms, round trip %7</source>
        <translation>%1: gesendet %2, empfangen %3, verloren %4 (%5 %), Jitter %6 ms, Umlaufzeit %7</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Call</source>
        <translation>Gespräch</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>%1 ms</source>
        <translation>%1 ms</translation>
    </message>
    <message>
        <location line="+71"/>
        <source>Incoming call from %1: press Intercom (F5) to answer</source>
        <translation>Eingehender Anruf von %1: zum Annehmen „Gegensprechen“ (F5) drücken</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>Missed call from %1</source>
        <translation>Verpasster Anruf von %1</translation>
    </message>
    <message>
        <location line="+29"/>
        <source>The call&apos;s audio is encrypted: %1</source>
        <translation>Der Ton des Anrufs ist verschlüsselt: %1</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Encrypted call</source>
        <translation>Verschlüsselter Anruf</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window_status.cpp" line="-56"/>
        <source>State not known</source>
        <translation>Zustand unbekannt</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Free</source>
        <translation>Frei</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Ringing</source>
        <translation>Klingelt</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>In a call</source>
        <translation>Im Gespräch</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Do not disturb</source>
        <translation>Nicht stören</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>Call the voicemail</source>
        <translation>Sprachbox anrufen</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>1 new voicemail message</source>
        <translation>1 neue Sprachnachricht</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>%1 new voicemail messages</source>
        <translation>%1 neue Sprachnachrichten</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Voicemail waiting</source>
        <translation>Neue Sprachnachrichten</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>idle</source>
        <translation>bereit</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>in a call</source>
        <translation>im Gespräch</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>ringing</source>
        <translation>klingelt</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>%1 (encrypted: %2)</source>
        <translation>%1 (verschlüsselt: %2)</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>%1, %2 new voicemail</source>
        <translation>%1, %2 neue Sprachnachrichten</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>%1, voicemail waiting</source>
        <translation>%1, neue Sprachnachrichten</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Quillet: %1, 1 missed call</source>
        <translation>Quillet: %1, 1 verpasster Anruf</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Quillet: %1, %2 missed calls</source>
        <translation>Quillet: %1, %2 verpasste Anrufe</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Quillet: %1</source>
        <translation>Quillet: %1</translation>
    </message>
    <message>
        <location filename="../src/ui/calls_panel.cpp" line="+22"/>
        <source>Call waiting: %1</source>
        <translation>Anruf wartet: %1</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>On hold: %1 (Switch takes it back)</source>
        <translation>Gehalten: %1 (Wechseln holt den Anruf zurück)</translation>
    </message>
</context>
<context>
    <name>quillet::ui::NetworkWizard</name>
    <message>
        <location filename="../src/ui/network_wizard.cpp" line="+117"/>
        <source>Networking Setup Wizard</source>
        <translation>Assistent für die Netzwerkeinrichtung</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Starting...</source>
        <translation>Wird gestartet …</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How far the tests have got</source>
        <translation>Wie weit die Tests gekommen sind</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Steps</source>
        <translation>Schritte</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>The network tests run so far and what each found</source>
        <translation>Die bisher gelaufenen Netzwerktests und ihre Ergebnisse</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <location line="+55"/>
        <source>Cancelling...</source>
        <translation>Wird abgebrochen …</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>SIP Network Tool finished</source>
        <translation>SIP-Netzwerktest abgeschlossen</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>&amp;Close</source>
        <translation>&amp;Schließen</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>STUN finds the public address (servers %1 and %2).</source>
        <translation>STUN ermittelt die öffentliche Adresse (Server %1 und %2).</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>A UPnP router forwards the ports to this computer.</source>
        <translation>Ein UPnP-Router leitet die Ports an diesen Computer weiter.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The NAT or router is symmetric: set up the port forwarding at the router by hand.</source>
        <translation>Das NAT bzw. der Router ist symmetrisch: Richten Sie die Portweiterleitung am Router von Hand ein.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>This computer connects to the Internet directly.</source>
        <translation>Dieser Computer ist direkt mit dem Internet verbunden.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>
SIP port: %1 (UDP).</source>
        <translation>
SIP-Port: %1 (UDP).</translation>
    </message>
</context>
<context>
    <name>quillet::ui::OptionsDialog</name>
    <message>
        <location filename="../src/ui/options_dialog.cpp" line="+23"/>
        <source>Options</source>
        <translation>Optionen</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Pages</source>
        <translation>Seiten</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>The page of settings shown beside the list</source>
        <translation>Die neben der Liste angezeigte Einstellungsseite</translation>
    </message>
</context>
<context>
    <name>quillet::ui::OptionsPageWidget</name>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="-458"/>
        <source>Recording / Playback</source>
        <translation>Aufnahme / Wiedergabe</translation>
    </message>
    <message>
        <location line="+1"/>
        <location line="+241"/>
        <source>Quality</source>
        <translation>Qualität</translation>
    </message>
    <message>
        <location line="-240"/>
        <source>Lines</source>
        <translation>Leitungen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Ports</source>
        <translation>Ports</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>uPNP / STUN</source>
        <translation>UPnP / STUN</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Static IP</source>
        <translation>Statische IP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP/RTP Logging</source>
        <translation>SIP/RTP-Protokoll</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Intercom</source>
        <translation>Gegensprechen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Hot Keys</source>
        <translation>Tastenkürzel</translation>
    </message>
    <message>
        <location line="+102"/>
        <source>&amp;Playback device</source>
        <translation>&amp;Wiedergabegerät</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Recording device</source>
        <translation>&amp;Aufnahmegerät</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Input &amp;channel</source>
        <translation>&amp;Eingang</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The input line of the recording device that the microphone is on</source>
        <translation>Der Eingang des Aufnahmegeräts, an dem das Mikrofon hängt</translation>
    </message>
    <message>
        <location line="+2"/>
        <location line="+89"/>
        <source>&amp;Test</source>
        <translation>&amp;Testen</translation>
    </message>
    <message>
        <location line="-87"/>
        <source>Record from the chosen device and show its level</source>
        <translation>Vom gewählten Gerät aufnehmen und seinen Pegel zeigen</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>Recording level</source>
        <translation>Aufnahmepegel</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The level of the recording device while Test runs</source>
        <translation>Der Pegel des Aufnahmegeräts während des Tests</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Level</source>
        <translation>Pegel</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Automatic &amp;gain control</source>
        <translation>Automatische &amp;Verstärkungsregelung</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Echo cancellation</source>
        <translation>&amp;Echounterdrückung</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Noise suppression</source>
        <translation>&amp;Rauschunterdrückung</translation>
    </message>
    <message>
        <location line="+54"/>
        <source>No sound</source>
        <translation>Kein Ton</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>&amp;Stop</source>
        <translation>&amp;Stopp</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>%1 dB</source>
        <translation>%1 dB</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>Lower bandwidth</source>
        <translation>Weniger Bandbreite</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Better sound</source>
        <translation>Besserer Klang</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Voice &amp;quality</source>
        <translation>Sprach&amp;qualität</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Left: lower bandwidth, right: better sound</source>
        <translation>Links: weniger Bandbreite, rechts: besserer Klang</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>&amp;Suppress the echo of the speaker</source>
        <translation>Echo des Lautsprechers &amp;unterdrücken</translation>
    </message>
    <message>
        <location line="+28"/>
        <source>The password of the SIP number</source>
        <translation>Das Passwort der SIP-Nummer</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Display Name</source>
        <translation>&amp;Anzeigename</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Server Address</source>
        <translation>&amp;Serveradresse</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP &amp;Number</source>
        <translation>SIP-&amp;Nummer</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Password</source>
        <translation>&amp;Passwort</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Outbound server, authentication user name, transport and TLS</source>
        <translation>Ausgangsserver, Anmeldename, Protokoll und TLS</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>The server that SIP requests go through</source>
        <translation>Der Server, über den SIP-Anfragen laufen</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>The user name that the server authenticates, if not the SIP number</source>
        <translation>Der Benutzername, den der Server prüft, falls nicht die SIP-Nummer</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&lt;a href=&quot;%1#sip-services&quot;&gt;SIP services&lt;/a&gt; &amp;nbsp; &lt;a href=&quot;%1#pbx-software&quot;&gt;PBX software&lt;/a&gt;</source>
        <translation>&lt;a href=&quot;%1#sip-services&quot;&gt;SIP-Dienste&lt;/a&gt; &amp;nbsp; &lt;a href=&quot;%1#pbx-software&quot;&gt;Telefonanlagen&lt;/a&gt;</translation>
    </message>
    <message>
        <location line="+61"/>
        <source>&amp;Advanced Line Settings [Modified]</source>
        <translation>&amp;Erweiterte Leitungseinstellungen [geändert]</translation>
    </message>
    <message>
        <location line="-76"/>
        <location line="+77"/>
        <source>&amp;Advanced Line Settings</source>
        <translation>&amp;Erweiterte Leitungseinstellungen</translation>
    </message>
    <message>
        <location line="-111"/>
        <source>&amp;Codecs</source>
        <translation>&amp;Codecs</translation>
    </message>
    <message>
        <location line="+15"/>
        <source>&lt;Type your name here&gt;</source>
        <translation>&lt;Ihren Namen hier eingeben&gt;</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Enter your name or any other information you want to use to identify you to the other side of the call</source>
        <translation>Geben Sie Ihren Namen oder eine andere Angabe ein, an der die Gegenseite Sie erkennen soll</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&lt;Type the SIP server name here&gt;</source>
        <translation>&lt;Name des SIP-Servers hier eingeben&gt;</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Enter the SIP server name that was given to you by your SIP service provider</source>
        <translation>Geben Sie den Namen des SIP-Servers ein, den Ihnen Ihr SIP-Anbieter genannt hat</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&lt;Type number assigned by SIP provider&gt;</source>
        <translation>&lt;vom SIP-Anbieter zugeteilte Nummer eingeben&gt;</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Enter the SIP number that you were assigned when you signed up with a SIP service provider</source>
        <translation>Geben Sie die SIP-Nummer ein, die Ihnen Ihr SIP-Anbieter bei der Anmeldung zugeteilt hat</translation>
    </message>
    <message>
        <location line="+17"/>
        <source>&amp;Outbound Server</source>
        <translation>&amp;Ausgangsserver</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&amp;User Name</source>
        <translation>&amp;Benutzername</translation>
    </message>
    <message>
        <location line="+97"/>
        <source>&amp;SIP port</source>
        <translation>&amp;SIP-Port</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP &amp;TLS port</source>
        <translation>SIP-&amp;TLS-Port</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;RTP port base</source>
        <translation>&amp;Erster RTP-Port</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The port that SIP listens on</source>
        <translation>Der Port, auf dem SIP lauscht</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The port that SIP over TLS listens on; none: no incoming TLS</source>
        <translation>Der Port, auf dem SIP über TLS lauscht; keiner: kein eingehendes TLS</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The first port of the sound of calls; an even number</source>
        <translation>Der erste Port für den Ton der Anrufe; eine gerade Zahl</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>Use &amp;UPnP to map the ports on the router</source>
        <translation>Ports am Router per &amp;UPnP zuordnen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use S&amp;TUN to find the public address</source>
        <translation>Öffentliche Adresse per S&amp;TUN ermitteln</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>STUN server &amp;1</source>
        <translation>STUN-Server &amp;1</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>STUN server &amp;2</source>
        <translation>STUN-Server &amp;2</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Look the public address up over &amp;HTTP</source>
        <translation>Öffentliche Adresse über &amp;HTTP abfragen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>HTTP &amp;lookup address</source>
        <translation>&amp;Adresse der HTTP-Abfrage</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>Use a &amp;static public address and port mapping</source>
        <translation>&amp;Statische öffentliche Adresse und Portzuordnung verwenden</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Public &amp;IP address</source>
        <translation>Öffentliche &amp;IP-Adresse</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Public SI&amp;P port</source>
        <translation>Öffentlicher SI&amp;P-Port</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The router&apos;s port that is mapped to the SIP port</source>
        <translation>Der Port des Routers, der dem SIP-Port zugeordnet ist</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Public &amp;RTP port base</source>
        <translation>Erster öffentlicher &amp;RTP-Port</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The router&apos;s first port mapped to the RTP ports; an even number</source>
        <translation>Der erste Port des Routers, der den RTP-Ports zugeordnet ist; eine gerade Zahl</translation>
    </message>
    <message>
        <location line="+24"/>
        <source>Write the &amp;SIP trace file</source>
        <translation>&amp;SIP-Mitschnitt schreiben</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Trace &amp;RTP packets as well</source>
        <translation>Auch &amp;RTP-Pakete mitschneiden</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>Accept intercom calls from &amp;everybody</source>
        <translation>Gegensprechanrufe von &amp;allen annehmen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Allow</source>
        <translation>Erlauben</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Only from addresses containing:</source>
        <translation>&amp;Nur von Adressen, die Folgendes enthalten:</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Intercom calls are accepted from callers whose address contains an entry of this list</source>
        <translation>Gegensprechanrufe werden von Anrufern angenommen, deren Adresse einen Eintrag dieser Liste enthält</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>user@host, host or number</source>
        <translation>benutzer@host, Host oder Nummer</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Address to allow</source>
        <translation>Zu erlaubende Adresse</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>user@host, host or number; Add puts it on the list</source>
        <translation>benutzer@host, Host oder Nummer; „Hinzufügen“ nimmt sie in die Liste auf</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="-39"/>
        <location filename="../src/ui/options_pages.cpp" line="+1"/>
        <source>&amp;Add</source>
        <translation>&amp;Hinzufügen</translation>
    </message>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="+2"/>
        <source>Adds the address to allow to the list</source>
        <translation>Fügt die zu erlaubende Adresse der Liste hinzu</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="+3"/>
        <location filename="../src/ui/options_pages.cpp" line="+1"/>
        <source>Re&amp;move</source>
        <translation>&amp;Entfernen</translation>
    </message>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="+2"/>
        <source>Removes the selected entry from the list</source>
        <translation>Entfernt den ausgewählten Eintrag aus der Liste</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>&amp;Talk back automatically on an intercom call</source>
        <translation>Bei einem Gegensprechanruf automatisch &amp;zurücksprechen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Let a second call &amp;wait while a call is up</source>
        <translation>Zweiten Anruf während eines Gesprächs &amp;warten lassen</translation>
    </message>
    <message>
        <location line="+28"/>
        <source>(any caller)</source>
        <translation>(jeder Anrufer)</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="-14"/>
        <source>Intercom with a contact</source>
        <translation>Gegensprechen mit einem Kontakt</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Press the key to grab: F1 to F24, a digit or a letter, with modifiers</source>
        <translation>Drücken Sie die gewünschte Taste: F1 bis F24, eine Ziffer oder ein Buchstabe, mit Umschalttasten</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>What the hot key does</source>
        <translation>Was das Tastenkürzel tut</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The address that Intercom with a contact calls</source>
        <translation>Die Adresse, die „Gegensprechen mit einem Kontakt“ anruft</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Adds the key and its command to the list</source>
        <translation>Fügt die Taste und ihren Befehl der Liste hinzu</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Removes the selected hot key</source>
        <translation>Entfernt das ausgewählte Tastenkürzel</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Key</source>
        <translation>&amp;Taste</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Command</source>
        <translation>&amp;Befehl</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Call &amp;to</source>
        <translation>&amp;Anrufen</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;Hot keys (they work while another program has the focus):</source>
        <translation>&amp;Tastenkürzel (sie wirken auch, wenn ein anderes Programm den Fokus hat):</translation>
    </message>
    <message>
        <location line="+71"/>
        <source>Intercom with %1</source>
        <translation>Gegensprechen mit %1</translation>
    </message>
    <message>
        <location filename="../src/ui/codec_order_widget.cpp" line="+48"/>
        <source>Voice codecs</source>
        <translation>Sprachcodecs</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Ticked codecs are offered in this order; the far end&apos;s first one that is ticked is taken</source>
        <translation>Angehakte Codecs werden in dieser Reihenfolge angeboten; der erste angehakte der Gegenseite wird genommen</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Up</source>
        <translation>Nach &amp;oben</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do&amp;wn</source>
        <translation>Nach &amp;unten</translation>
    </message>
</context>
<context>
    <name>quillet::ui::PagePanel</name>
    <message>
        <location filename="../src/ui/page_panel.cpp" line="+20"/>
        <source>Stop listening</source>
        <translation>Nicht mehr zuhören</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Stop listening to this page</source>
        <translation>Dieser Durchsage nicht mehr zuhören</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The page goes on for others; this speaker stops playing it. Later pages still play.</source>
        <translation>Die Durchsage geht für die anderen weiter; dieser Lautsprecher spielt sie nicht mehr. Spätere Durchsagen werden wieder gespielt.</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Page: %1</source>
        <translation>Durchsage: %1</translation>
    </message>
</context>
<context>
    <name>quillet::ui::TransportLabel</name>
    <message>
        <location filename="../src/ui/transport_label.cpp" line="+74"/>
        <source>The line&apos;s signalling is encrypted (TLS)</source>
        <translation>Die Signalisierung der Leitung ist verschlüsselt (TLS)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The line&apos;s signalling is not encrypted (%1)</source>
        <translation>Die Signalisierung der Leitung ist nicht verschlüsselt (%1)</translation>
    </message>
</context>
<context>
    <name>quillet::ui::TrayIcon</name>
    <message>
        <location filename="../src/ui/tray_icon.cpp" line="+76"/>
        <source>Show Quillet</source>
        <translation>Quillet anzeigen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Intercom</source>
        <translation>Gegensprechen</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do Not Disturb</source>
        <translation>Nicht stören</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
</context>
</TS>
