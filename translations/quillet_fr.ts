<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>app</name>
    <message>
        <location filename="../src/ui/address_book_window.cpp" line="+308"/>
        <location filename="../src/app/intercom_app_contacts.cpp" line="+21"/>
        <source>Confirm Delete</source>
        <translation>Confirmer la suppression</translation>
    </message>
    <message>
        <location line="+1"/>
        <location filename="../src/app/intercom_app_contacts.cpp" line="+1"/>
        <source>Are you sure you want to delete the selected contact?</source>
        <translation>Voulez-vous vraiment supprimer le contact sélectionné ?</translation>
    </message>
    <message>
        <location line="+18"/>
        <source>The email address of this contact is not valid. Please try again.</source>
        <translation>L&apos;adresse e-mail de ce contact n&apos;est pas valide. Veuillez réessayer.</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>The selected file already exists. Do you wish to overwrite it</source>
        <translation>Le fichier sélectionné existe déjà. Voulez-vous le remplacer ?</translation>
    </message>
    <message>
        <location filename="../src/ui/line_settings_dialog.cpp" line="+276"/>
        <source>Invalid Outbound Server</source>
        <translation>Serveur sortant non valide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Please enter the outbound server address that you want to use.</source>
        <translation>Veuillez saisir l&apos;adresse du serveur sortant à utiliser.</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Invalid Default Authentication ID</source>
        <translation>Identifiant d&apos;authentification non valide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Please enter the default authentication id that you want to use.</source>
        <translation>Veuillez saisir l&apos;identifiant d&apos;authentification à utiliser.</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Invalid TLS CA File</source>
        <translation>Fichier CA TLS non valide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The TLS CA file cannot be read. Please choose a file of certificate authorities, or leave the field empty to trust only the system&apos;s.</source>
        <translation>Le fichier CA TLS est illisible. Choisissez un fichier d&apos;autorités de certification, ou laissez le champ vide pour ne faire confiance qu&apos;à celles du système.</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window_help.cpp" line="+63"/>
        <source>Error</source>
        <translation>Erreur</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>This wizard does not work if you have manually setup a STATIC IP or port mapping. Turn Static IP mapping off and run this again.</source>
        <translation>Cet assistant ne fonctionne pas si vous avez configuré à la main une adresse IP statique ou une redirection de ports. Désactivez la correspondance IP statique et relancez-le.</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window.cpp" line="+514"/>
        <source>Exit</source>
        <translation>Quitter</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Are you sure to exit Quillet ?</source>
        <translation>Voulez-vous vraiment quitter Quillet ?</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Confirm Exit</source>
        <translation>Confirmer la fermeture</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do you want Quillet to continue to receive intercoms in the background?</source>
        <translation>Quillet doit-il continuer à recevoir les appels d&apos;interphone en arrière-plan ?</translation>
    </message>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="+382"/>
        <source>Username Missing</source>
        <translation>Nom d&apos;utilisateur manquant</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>You must enter your username</source>
        <translation>Vous devez saisir votre nom d&apos;utilisateur</translation>
    </message>
    <message>
        <location line="+54"/>
        <source>Invalid RTP Port</source>
        <translation>Port RTP non valide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The RTP port base must be an even number.</source>
        <translation>Le premier port RTP doit être un nombre pair.</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>Invalid TLS Port</source>
        <translation>Port TLS non valide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The SIP TLS port must differ from the SIP port.</source>
        <translation>Le port SIP TLS doit être différent du port SIP.</translation>
    </message>
    <message>
        <location line="+44"/>
        <source>Invalid Public Address</source>
        <translation>Adresse publique non valide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Please enter the public IP address of the static mapping.</source>
        <translation>Veuillez saisir l&apos;adresse IP publique de la correspondance statique.</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="+128"/>
        <source>Hot Key Not Added</source>
        <translation>Raccourci non ajouté</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Press Add to keep the hot key you entered, or clear it.</source>
        <translation>Cliquez sur « Ajouter » pour garder le raccourci saisi, ou effacez-le.</translation>
    </message>
    <message>
        <location filename="../src/app/intercom_app.cpp" line="+45"/>
        <source>Quillet: press Intercom and speak</source>
        <translation>Quillet : appuyez sur Interphone et parlez</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Your first word reaches the far end, even while it rings</source>
        <translation>Votre premier mot est entendu, même pendant que ça sonne</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Allowed callers are answered on the first ring</source>
        <translation>Les appelants autorisés sont pris dès la première sonnerie</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do Not Disturb refuses every incoming call</source>
        <translation>« Ne pas déranger » refuse tous les appels entrants</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Quillet runs in the background to receive intercoms</source>
        <translation>Quillet reste en arrière-plan pour recevoir les appels d&apos;interphone</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Contacts can be imported from CSV files</source>
        <translation>Les contacts peuvent être importés depuis des fichiers CSV</translation>
    </message>
    <message>
        <location line="+109"/>
        <source>Welcome</source>
        <translation>Bienvenue</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Welcome to Quillet.<byte value="xd"/>
<byte value="xd"/>
Would you like to read the tutorial now?</source>
        <translation>Bienvenue dans Quillet.<byte value="xd"/>
<byte value="xd"/>
Voulez-vous lire le tutoriel maintenant ?</translation>
    </message>
    <message>
        <location line="+113"/>
        <source>Line not Setup</source>
        <translation>Ligne non configurée</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>You must specify details the line. Please enter the details</source>
        <translation>Les paramètres de la ligne manquent. Veuillez les saisir.</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>You should now add contacts to connect</source>
        <translation>Ajoutez maintenant des contacts à appeler</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>While a call is ringing or is active you may not change options</source>
        <translation>Pendant qu&apos;un appel sonne ou est en cours, les options ne peuvent pas être modifiées</translation>
    </message>
    <message>
        <location line="+470"/>
        <source>Cancel (F5)</source>
        <translation>Annuler (F5)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Intercom (F5)</source>
        <translation>Interphone (F5)</translation>
    </message>
    <message>
        <location filename="../src/app/intercom_app_incoming.cpp" line="+228"/>
        <source>Incoming Call</source>
        <translation>Appel entrant</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Incoming SIP call was detected.
Would you like to start conversation ?</source>
        <translation>Un appel SIP entrant a été détecté.
Voulez-vous commencer la conversation ?</translation>
    </message>
    <message>
        <location filename="../src/app/hot_keys.cpp" line="+25"/>
        <source>Intercom with selected contact</source>
        <translation>Interphone avec le contact sélectionné</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Show Quillet</source>
        <translation>Afficher Quillet</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hide Quillet</source>
        <translation>Masquer Quillet</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Close Quillet</source>
        <translation>Fermer Quillet</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Show Address Book</source>
        <translation>Afficher le carnet d&apos;adresses</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hide Address Book</source>
        <translation>Masquer le carnet d&apos;adresses</translation>
    </message>
</context>
<context>
    <name>quillet::ui::Accessibility</name>
    <message>
        <location filename="../src/ui/accessibility.cpp" line="+88"/>
        <source>More tools</source>
        <translation>Plus d&apos;outils</translation>
    </message>
</context>
<context>
    <name>quillet::ui::AddressBookWindow</name>
    <message>
        <location filename="../src/ui/address_book_window.cpp" line="-289"/>
        <source>CSV Files(*.csv)</source>
        <translation>Fichiers CSV (*.csv)</translation>
    </message>
    <message>
        <location line="+52"/>
        <source>Address Book</source>
        <translation>Carnet d&apos;adresses</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Name</source>
        <translation>Nom</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Number</source>
        <translation>Numéro</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Auto Intercom</source>
        <translation>Interphone auto</translation>
    </message>
    <message>
        <location line="+4"/>
        <location line="+22"/>
        <source>Contacts</source>
        <translation>Contacts</translation>
    </message>
    <message>
        <location line="-21"/>
        <source>Name, number and whether an intercom call from the contact is answered by itself; its context menu edits the contact</source>
        <translation>Nom, numéro et si un appel d&apos;interphone du contact est pris automatiquement ; le menu contextuel modifie le contact</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&amp;Contacts</source>
        <translation>&amp;Contacts</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;New...</source>
        <translation>&amp;Nouveau…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Edit...</source>
        <translation>&amp;Modifier…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Delete...</source>
        <translation>&amp;Supprimer…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Import Addresses...</source>
        <translation>&amp;Importer des adresses…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Export Addresses...</source>
        <translation>&amp;Exporter les adresses…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Close</source>
        <translation>Fermer</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Help</source>
        <translation>&amp;Aide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Help Contents</source>
        <translation>Sommaire de l&apos;aide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>About Quillet ...</source>
        <translation>À propos de Quillet…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Add new contact (Ctrl+N)</source>
        <translation>Ajouter un contact (Ctrl+N)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Edit contact details (Ctrl+E)</source>
        <translation>Modifier le contact (Ctrl+E)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Delete the selected contact (Ctrl+Del)</source>
        <translation>Supprimer le contact sélectionné (Ctrl+Suppr)</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>E&amp;mail</source>
        <translation>E-&amp;mail</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Automatic intercom</source>
        <translation>Interphone &amp;automatique</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Quick transfer</source>
        <translation>&amp;Transfert rapide</translation>
    </message>
    <message>
        <location line="+52"/>
        <source>On</source>
        <translation>Oui</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Off</source>
        <translation>Non</translation>
    </message>
    <message>
        <location line="+137"/>
        <source>CSV File to Export To</source>
        <translation>Fichier CSV vers lequel exporter</translation>
    </message>
    <message>
        <location line="+42"/>
        <source>CSV File to Import Addresses from</source>
        <translation>Fichier CSV dont importer les adresses</translation>
    </message>
    <message>
        <location line="+38"/>
        <source>Importing Contacts</source>
        <translation>Importation des contacts</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Import CSV File</source>
        <translation>Importer un fichier CSV</translation>
    </message>
</context>
<context>
    <name>quillet::ui::CallHistoryWidget</name>
    <message>
        <location filename="../src/ui/call_history_widget.cpp" line="+46"/>
        <source>Call</source>
        <translation>Appel</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Name</source>
        <translation>Nom</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Time</source>
        <translation>Heure</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Duration</source>
        <translation>Durée</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Call history</source>
        <translation>Historique des appels</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The calls, newest first; a double-click calls the far end back</source>
        <translation>Les appels, du plus récent au plus ancien ; un double-clic rappelle le correspondant</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Call Back</source>
        <translation>Rappeler</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Call the far end of the selected call</source>
        <translation>Appeler le correspondant de l’appel sélectionné</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>Missed</source>
        <translation>Manqué</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Intercom in</source>
        <translation>Interphone entrant</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Intercom out</source>
        <translation>Interphone sortant</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>In</source>
        <translation>Entrant</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Out</source>
        <translation>Sortant</translation>
    </message>
</context>
<context>
    <name>quillet::ui::CallsPanel</name>
    <message>
        <location filename="../src/ui/calls_panel.cpp" line="+22"/>
        <source>Active</source>
        <translation>Actif</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>On hold</source>
        <translation>En attente</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Waiting</source>
        <translation>Signal d&apos;appel</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>Answer</source>
        <translation>Répondre</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Answer the waiting call; the current call is put on hold</source>
        <translation>Répondre à l&apos;appel en attente ; l&apos;appel en cours est mis en attente</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Answers the call that waits; the call you are in is put on hold</source>
        <translation>Répond à l&apos;appel qui attend ; votre appel en cours est mis en attente</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Switch</source>
        <translation>Basculer</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hold the active call and resume the held one</source>
        <translation>Mettre l&apos;appel actif en attente et reprendre l&apos;autre</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Puts the active call on hold and resumes the held one</source>
        <translation>Met l&apos;appel actif en attente et reprend l&apos;appel en attente</translation>
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
        <translation>Nouveau contact</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Edit Contact</source>
        <translation>Modifier le contact</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Contact &amp;name</source>
        <translation>&amp;Nom du contact</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Number or &amp;sip address</source>
        <translation>Numéro ou adresse &amp;SIP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Email address</source>
        <translation>Adresse &amp;e-mail</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>A number on the line&apos;s server, user@host or a sip: address</source>
        <translation>Un numéro sur le serveur de la ligne, utilisateur@hôte ou une adresse sip:</translation>
    </message>
</context>
<context>
    <name>quillet::ui::DesktopNotices</name>
    <message>
        <location filename="../src/ui/desktop_notices.cpp" line="+39"/>
        <source>Answer</source>
        <translation>Répondre</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Refuse</source>
        <translation>Refuser</translation>
    </message>
    <message>
        <location line="+22"/>
        <source>Encrypted call (%1)</source>
        <translation>Appel chiffré (%1)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Incoming call</source>
        <translation>Appel entrant</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Missed call</source>
        <translation>Appel manqué</translation>
    </message>
</context>
<context>
    <name>quillet::ui::LineSettingsDialog</name>
    <message>
        <location filename="../src/ui/line_settings_dialog.cpp" line="-250"/>
        <location line="+7"/>
        <source>Automatic</source>
        <translation>Automatique</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Off</source>
        <translation>Désactivé</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SDES-SRTP (keys over TLS only)</source>
        <translation>SDES-SRTP (clés par TLS uniquement)</translation>
    </message>
    <message>
        <location line="+45"/>
        <source>Advanced Sip Server Settings</source>
        <translation>Paramètres avancés du serveur SIP</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>&amp;Outbound Server</source>
        <translation>Serveur &amp;sortant</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use the s&amp;pecified server</source>
        <translation>Utiliser le serveur &amp;indiqué</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use a &amp;different outbound server</source>
        <translation>Utiliser un &amp;autre serveur sortant</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do &amp;not use an outbound server</source>
        <translation>&amp;Ne pas utiliser de serveur sortant</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>The server that SIP requests go through instead of the line&apos;s server</source>
        <translation>Le serveur par lequel passent les requêtes SIP au lieu du serveur de la ligne</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Outbound &amp;Server:</source>
        <translation>&amp;Serveur sortant :</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>&amp;Authentication User Name</source>
        <translation>Nom d&apos;utilisateur d&apos;&amp;authentification</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use the default &amp;User ID</source>
        <translation>Utiliser l&apos;identifiant par &amp;défaut</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use a d&amp;ifferent username</source>
        <translation>Utiliser un autre nom d&apos;&amp;utilisateur</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>The user name that the server authenticates instead of the SIP number</source>
        <translation>Le nom d&apos;utilisateur que le serveur authentifie à la place du numéro SIP</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Au&amp;th ID:</source>
        <translation>I&amp;dentifiant :</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>&amp;Connection</source>
        <translation>&amp;Connexion</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Automatic: UDP, unless the server&apos;s address asks for another transport. A server address with sips: or ;transport= keeps its own whatever the choice here.</source>
        <translation>Automatique : UDP, sauf si l&apos;adresse du serveur demande un autre transport. Une adresse de serveur avec sips: ou ;transport= garde le sien, quel que soit le choix ici.</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>&lt;only the system&apos;s authorities&gt;</source>
        <translation>&lt;seulement les autorités du système&gt;</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>A file of certificate authorities (PEM) trusted beside the system&apos;s</source>
        <translation>Un fichier d&apos;autorités de certification (PEM) approuvées en plus de celles du système</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Browse...</source>
        <translation>&amp;Parcourir…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Chooses the TLS CA file</source>
        <translation>Choisit le fichier CA TLS</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&amp;Verify the server&apos;s certificate</source>
        <translation>&amp;Vérifier le certificat du serveur</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Checks over TLS that the server is the one named by its address</source>
        <translation>Vérifie par TLS que le serveur est bien celui que désigne son adresse</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Without verification anyone on the path can pretend to be the server and read the call.</source>
        <translation>Sans vérification, n&apos;importe qui sur le chemin peut se faire passer pour le serveur et lire l&apos;appel.</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Encrypts the call&apos;s audio. SDES sends the keys in the call set-up, so only over TLS; DTLS agrees on them with the far end directly. Automatic: DTLS, and SDES beside it over TLS, where the far end can.</source>
        <translation>Chiffre le son de l’appel. SDES envoie les clés lors de l’établissement de l’appel, donc uniquement par TLS ; DTLS les convient directement avec le correspondant. Automatique : DTLS, et SDES en plus par TLS, là où le correspondant le peut.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Refuse calls &amp;without encrypted media</source>
        <translation>Refuser les appels &amp;sans son chiffré</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Calls whose audio would not be encrypted are refused or ended</source>
        <translation>Les appels dont le son ne serait pas chiffré sont refusés ou terminés</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>T&amp;ransport:</source>
        <translation>T&amp;ransport :</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>TLS CA &amp;file:</source>
        <translation>&amp;Fichier CA TLS :</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>&amp;Media encryption:</source>
        <translation>Chiffrement du &amp;son :</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>TLS CA File</source>
        <translation>Fichier CA TLS</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Certificates (*.pem *.crt *.cer);;All Files (*)</source>
        <translation>Certificats (*.pem *.crt *.cer);;Tous les fichiers (*)</translation>
    </message>
</context>
<context>
    <name>quillet::ui::LogViewWidget</name>
    <message>
        <location filename="../src/ui/log_view_widget.cpp" line="+38"/>
        <source>Log history</source>
        <translation>Historique du journal</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Scrolls back to older log lines</source>
        <translation>Remonte vers les lignes plus anciennes du journal</translation>
    </message>
</context>
<context>
    <name>quillet::ui::MainWindow</name>
    <message>
        <location filename="../src/ui/main_window.cpp" line="-379"/>
        <location line="+158"/>
        <source>Contacts</source>
        <translation>Contacts</translation>
    </message>
    <message>
        <location line="-157"/>
        <source>The contact that Intercom calls; its context menu adds, edits and deletes contacts</source>
        <translation>Le contact qu&apos;appelle Interphone ; le menu contextuel ajoute, modifie et supprime des contacts</translation>
    </message>
    <message>
        <location line="+5"/>
        <location line="+2"/>
        <source>Intercom (F5)</source>
        <translation>Interphone (F5)</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Calls the selected contact, whose loudspeaker plays you at once; the microphone is live while the button is held. Key: F5</source>
        <translation>Appelle le contact sélectionné, dont le haut-parleur vous diffuse aussitôt ; le micro est ouvert tant que le bouton est enfoncé. Touche : F5</translation>
    </message>
    <message>
        <location line="+6"/>
        <location line="+133"/>
        <location filename="../src/ui/main_window_status.cpp" line="+104"/>
        <location filename="../src/ui/translation_test.cpp" line="+220"/>
        <source>Do Not Disturb</source>
        <translation>Ne pas déranger</translation>
    </message>
    <message>
        <location line="-131"/>
        <source>Click to turn off incoming calls (Ctrl+U)</source>
        <translation>Cliquez pour refuser les appels entrants (Ctrl+U)</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>While pressed, incoming calls are turned away. Key: Ctrl+U</source>
        <translation>Tant que le bouton est enfoncé, les appels entrants sont refusés. Touche : Ctrl+U</translation>
    </message>
    <message>
        <location line="+6"/>
        <location line="+122"/>
        <location line="+318"/>
        <source>Hold</source>
        <translation>Attente</translation>
    </message>
    <message>
        <location line="-438"/>
        <source>Put the call on hold, or resume it</source>
        <translation>Mettre l’appel en attente ou le reprendre</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Puts the connected call on hold: the far end hears a soft tone or silence and you hear nothing. Press again to resume.</source>
        <translation>Met l’appel en cours en attente : votre correspondant entend une tonalité discrète ou le silence, et vous n’entendez rien. Appuyez à nouveau pour reprendre.</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Refuse</source>
        <translation>Refuser</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Refuse the ringing call</source>
        <translation>Refuser l&apos;appel qui sonne</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>Speaker Volume Level Meter</source>
        <translation>Niveau du haut-parleur</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone Volume Level Meter</source>
        <translation>Niveau du micro</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker Volume Control</source>
        <translation>Volume du haut-parleur</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone Volume Control</source>
        <translation>Volume du micro</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker level</source>
        <translation>Niveau du haut-parleur</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How loud the far end plays</source>
        <translation>Le volume auquel arrive l&apos;interlocuteur</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone level</source>
        <translation>Niveau du micro</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How loud the microphone hears you</source>
        <translation>Le volume auquel le micro vous entend</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker volume</source>
        <translation>Volume du haut-parleur</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How loud calls play on the speaker</source>
        <translation>Le volume des appels sur le haut-parleur</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Microphone volume</source>
        <translation>Volume du micro</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How much the microphone is amplified</source>
        <translation>Le gain appliqué au micro</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Speaker</source>
        <translation>Haut-parleur</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Microphone</source>
        <translation>Micro</translation>
    </message>
    <message>
        <location line="+18"/>
        <location line="+8"/>
        <source>Log</source>
        <translation>Journal</translation>
    </message>
    <message>
        <location line="-7"/>
        <source>What Quillet did, newest last; its context menu is the main menu</source>
        <translation>Ce que Quillet a fait, le plus récent en dernier ; le menu contextuel est le menu principal</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Calls</source>
        <translation>Appels</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Call quality</source>
        <translation>Qualité de l&apos;appel</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The running call&apos;s codec, packets sent, received and lost, jitter and round trip, renewed every second</source>
        <translation>Codec, paquets envoyés, reçus et perdus, gigue et aller-retour de l&apos;appel en cours, renouvelés chaque seconde</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>File</source>
        <translation>Fichier</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Intercom</source>
        <translation>Interphone</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Phone Call</source>
        <translation>Appel téléphonique</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>Voicemail</source>
        <translation>Messagerie vocale</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Page</source>
        <translation>Appel général</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>O&amp;ptions...</source>
        <translation>O&amp;ptions…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Network Wizard...</source>
        <translation>Assistant réseau…</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Add Contact</source>
        <translation>&amp;Ajouter un contact</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Edit Contact</source>
        <translation>&amp;Modifier le contact</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Delete Contact</source>
        <translation>&amp;Supprimer le contact</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Address Book</source>
        <translation>Carnet d&apos;adresses</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>View</source>
        <translation>Affichage</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Status Panel</source>
        <translation>Barre d&apos;état</translation>
    </message>
    <message>
        <location line="+1"/>
        <location line="+20"/>
        <source>Tool Bar</source>
        <translation>Barre d&apos;outils</translation>
    </message>
    <message>
        <location line="-19"/>
        <source>Logs Folder</source>
        <translation>Dossier des journaux</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Hide</source>
        <translation>Masquer</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>E&amp;xit</source>
        <translation>&amp;Quitter</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Help</source>
        <translation>Aide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Help Contents</source>
        <translation>Sommaire de l&apos;aide</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>About Quillet ...</source>
        <translation>À propos de Quillet…</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>&amp;Add...</source>
        <translation>&amp;Ajouter…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Edit...</source>
        <translation>&amp;Modifier…</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Delete...</source>
        <translation>&amp;Supprimer…</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window_help.cpp" line="-12"/>
        <source>About Quillet</source>
        <translation>À propos de Quillet</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Quillet %1

A hands-free SIP desk intercom and SIP telephone.
Press Intercom and speak: your first word reaches the far end.</source>
        <translation>Quillet %1

Un interphone de bureau SIP mains libres et un téléphone SIP.
Appuyez sur Interphone et parlez : votre premier mot est entendu.</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window.cpp" line="+287"/>
        <source>Resume</source>
        <translation>Reprendre</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>IP: %1</source>
        <translation>IP : %1</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP: %1</source>
        <translation>SIP : %1</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>%1: sent %2, received %3, lost %4 (%5 %), jitter %6 ms, round trip %7</source>
        <translation>%1 : envoyés %2, reçus %3, perdus %4 (%5 %), gigue %6 ms, aller-retour %7</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Call</source>
        <translation>Appel</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>%1 ms</source>
        <translation>%1 ms</translation>
    </message>
    <message>
        <location line="+71"/>
        <source>Incoming call from %1: press Intercom (F5) to answer</source>
        <translation>Appel entrant de %1 : appuyez sur Interphone (F5) pour répondre</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>Missed call from %1</source>
        <translation>Appel manqué de %1</translation>
    </message>
    <message>
        <location line="+29"/>
        <source>The call&apos;s audio is encrypted: %1</source>
        <translation>Le son de l’appel est chiffré : %1</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Encrypted call</source>
        <translation>Appel chiffré</translation>
    </message>
    <message>
        <location filename="../src/ui/main_window_status.cpp" line="-56"/>
        <source>State not known</source>
        <translation>État inconnu</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Free</source>
        <translation>Libre</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Ringing</source>
        <translation>Sonne</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>In a call</source>
        <translation>En communication</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Do not disturb</source>
        <translation>Ne pas déranger</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>Call the voicemail</source>
        <translation>Appeler la messagerie vocale</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>1 new voicemail message</source>
        <translation>1 nouveau message vocal</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>%1 new voicemail messages</source>
        <translation>%1 nouveaux messages vocaux</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Voicemail waiting</source>
        <translation>Messages vocaux en attente</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>idle</source>
        <translation>prêt</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>in a call</source>
        <translation>en communication</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>ringing</source>
        <translation>sonne</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>%1 (encrypted: %2)</source>
        <translation>%1 (chiffré : %2)</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>%1, %2 new voicemail</source>
        <translation>%1, %2 nouveaux messages vocaux</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>%1, voicemail waiting</source>
        <translation>%1, messages vocaux en attente</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Quillet: %1, 1 missed call</source>
        <translation>Quillet : %1, 1 appel manqué</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Quillet: %1, %2 missed calls</source>
        <translation>Quillet : %1, %2 appels manqués</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Quillet: %1</source>
        <translation>Quillet : %1</translation>
    </message>
    <message>
        <location filename="../src/ui/calls_panel.cpp" line="+22"/>
        <source>Call waiting: %1</source>
        <translation>Appel en attente : %1</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>On hold: %1 (Switch takes it back)</source>
        <translation>En attente : %1 (Basculer le reprend)</translation>
    </message>
</context>
<context>
    <name>quillet::ui::NetworkWizard</name>
    <message>
        <location filename="../src/ui/network_wizard.cpp" line="+117"/>
        <source>Networking Setup Wizard</source>
        <translation>Assistant de configuration réseau</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Starting...</source>
        <translation>Démarrage…</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>Progress</source>
        <translation>Progression</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>How far the tests have got</source>
        <translation>Où en sont les tests</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Steps</source>
        <translation>Étapes</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>The network tests run so far and what each found</source>
        <translation>Les tests réseau déjà faits et ce que chacun a trouvé</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <location line="+55"/>
        <source>Cancelling...</source>
        <translation>Annulation…</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>SIP Network Tool finished</source>
        <translation>Test réseau SIP terminé</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>&amp;Close</source>
        <translation>&amp;Fermer</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>STUN finds the public address (servers %1 and %2).</source>
        <translation>STUN trouve l&apos;adresse publique (serveurs %1 et %2).</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>A UPnP router forwards the ports to this computer.</source>
        <translation>Un routeur UPnP redirige les ports vers cet ordinateur.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The NAT or router is symmetric: set up the port forwarding at the router by hand.</source>
        <translation>Le NAT ou routeur est symétrique : configurez la redirection des ports à la main sur le routeur.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>This computer connects to the Internet directly.</source>
        <translation>Cet ordinateur est relié directement à Internet.</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>
SIP port: %1 (UDP).</source>
        <translation>
Port SIP : %1 (UDP).</translation>
    </message>
</context>
<context>
    <name>quillet::ui::OptionsDialog</name>
    <message>
        <location filename="../src/ui/options_dialog.cpp" line="+23"/>
        <source>Options</source>
        <translation>Options</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Pages</source>
        <translation>Pages</translation>
    </message>
    <message>
        <location line="+0"/>
        <source>The page of settings shown beside the list</source>
        <translation>La page de réglages affichée à côté de la liste</translation>
    </message>
</context>
<context>
    <name>quillet::ui::OptionsPageWidget</name>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="-458"/>
        <source>Recording / Playback</source>
        <translation>Enregistrement / lecture</translation>
    </message>
    <message>
        <location line="+1"/>
        <location line="+241"/>
        <source>Quality</source>
        <translation>Qualité</translation>
    </message>
    <message>
        <location line="-240"/>
        <source>Lines</source>
        <translation>Lignes</translation>
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
        <translation>IP statique</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP/RTP Logging</source>
        <translation>Journal SIP/RTP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Intercom</source>
        <translation>Interphone</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Hot Keys</source>
        <translation>Raccourcis</translation>
    </message>
    <message>
        <location line="+102"/>
        <source>&amp;Playback device</source>
        <translation>Périphérique de &amp;lecture</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Recording device</source>
        <translation>Périphérique d&apos;&amp;enregistrement</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Input &amp;channel</source>
        <translation>&amp;Entrée</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The input line of the recording device that the microphone is on</source>
        <translation>L&apos;entrée du périphérique d&apos;enregistrement sur laquelle est branché le micro</translation>
    </message>
    <message>
        <location line="+2"/>
        <location line="+89"/>
        <source>&amp;Test</source>
        <translation>&amp;Tester</translation>
    </message>
    <message>
        <location line="-87"/>
        <source>Record from the chosen device and show its level</source>
        <translation>Enregistrer depuis le périphérique choisi et afficher son niveau</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>Recording level</source>
        <translation>Niveau d&apos;enregistrement</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The level of the recording device while Test runs</source>
        <translation>Le niveau du périphérique d&apos;enregistrement pendant le test</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Level</source>
        <translation>Niveau</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Automatic &amp;gain control</source>
        <translation>Contrôle automatique du &amp;gain</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Echo cancellation</source>
        <translation>Annulation de l&apos;é&amp;cho</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Noise suppression</source>
        <translation>Réduction du &amp;bruit</translation>
    </message>
    <message>
        <location line="+54"/>
        <source>No sound</source>
        <translation>Aucun son</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>&amp;Stop</source>
        <translation>&amp;Arrêter</translation>
    </message>
    <message>
        <location line="+21"/>
        <source>%1 dB</source>
        <translation>%1 dB</translation>
    </message>
    <message>
        <location line="+31"/>
        <source>Lower bandwidth</source>
        <translation>Moins de bande passante</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Better sound</source>
        <translation>Meilleur son</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Voice &amp;quality</source>
        <translation>&amp;Qualité de la voix</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Left: lower bandwidth, right: better sound</source>
        <translation>À gauche : moins de bande passante, à droite : meilleur son</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>&amp;Suppress the echo of the speaker</source>
        <translation>&amp;Supprimer l&apos;écho du haut-parleur</translation>
    </message>
    <message>
        <location line="+28"/>
        <source>The password of the SIP number</source>
        <translation>Le mot de passe du numéro SIP</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Display Name</source>
        <translation>Nom &amp;affiché</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Server Address</source>
        <translation>Adresse du &amp;serveur</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP &amp;Number</source>
        <translation>&amp;Numéro SIP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Password</source>
        <translation>&amp;Mot de passe</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Outbound server, authentication user name, transport and TLS</source>
        <translation>Serveur sortant, nom d&apos;authentification, transport et TLS</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>The server that SIP requests go through</source>
        <translation>Le serveur par lequel passent les requêtes SIP</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>The user name that the server authenticates, if not the SIP number</source>
        <translation>Le nom d&apos;utilisateur que le serveur authentifie, s&apos;il diffère du numéro SIP</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&lt;a href=&quot;%1#sip-services&quot;&gt;SIP services&lt;/a&gt; &amp;nbsp; &lt;a href=&quot;%1#pbx-software&quot;&gt;PBX software&lt;/a&gt;</source>
        <translation>&lt;a href=&quot;%1#sip-services&quot;&gt;Services SIP&lt;/a&gt; &amp;nbsp; &lt;a href=&quot;%1#pbx-software&quot;&gt;Autocommutateurs (PBX)&lt;/a&gt;</translation>
    </message>
    <message>
        <location line="+61"/>
        <source>&amp;Advanced Line Settings [Modified]</source>
        <translation>Paramètres &amp;avancés de la ligne [modifiés]</translation>
    </message>
    <message>
        <location line="-76"/>
        <location line="+77"/>
        <source>&amp;Advanced Line Settings</source>
        <translation>Paramètres &amp;avancés de la ligne</translation>
    </message>
    <message>
        <location line="-111"/>
        <source>&amp;Codecs</source>
        <translation>&amp;Codecs</translation>
    </message>
    <message>
        <location line="+15"/>
        <source>&lt;Type your name here&gt;</source>
        <translation>&lt;Saisissez votre nom ici&gt;</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Enter your name or any other information you want to use to identify you to the other side of the call</source>
        <translation>Saisissez votre nom ou toute autre information qui vous identifiera auprès de votre interlocuteur</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&lt;Type the SIP server name here&gt;</source>
        <translation>&lt;Saisissez le nom du serveur SIP ici&gt;</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Enter the SIP server name that was given to you by your SIP service provider</source>
        <translation>Saisissez le nom du serveur SIP que votre fournisseur SIP vous a donné</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&lt;Type number assigned by SIP provider&gt;</source>
        <translation>&lt;Saisissez le numéro attribué par le fournisseur SIP&gt;</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Enter the SIP number that you were assigned when you signed up with a SIP service provider</source>
        <translation>Saisissez le numéro SIP qui vous a été attribué lors de votre inscription chez un fournisseur SIP</translation>
    </message>
    <message>
        <location line="+17"/>
        <source>&amp;Outbound Server</source>
        <translation>Serveur &amp;sortant</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>&amp;User Name</source>
        <translation>Nom d&apos;&amp;utilisateur</translation>
    </message>
    <message>
        <location line="+97"/>
        <source>&amp;SIP port</source>
        <translation>Port &amp;SIP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>SIP &amp;TLS port</source>
        <translation>Port SIP &amp;TLS</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;RTP port base</source>
        <translation>Premier port &amp;RTP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The port that SIP listens on</source>
        <translation>Le port sur lequel SIP écoute</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The port that SIP over TLS listens on; none: no incoming TLS</source>
        <translation>Le port sur lequel SIP sur TLS écoute ; aucun : pas de TLS entrant</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The first port of the sound of calls; an even number</source>
        <translation>Le premier port du son des appels ; un nombre pair</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>Use &amp;UPnP to map the ports on the router</source>
        <translation>Rediriger les ports du routeur par &amp;UPnP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Use S&amp;TUN to find the public address</source>
        <translation>Trouver l&apos;adresse publique par S&amp;TUN</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>STUN server &amp;1</source>
        <translation>Serveur STUN &amp;1</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>STUN server &amp;2</source>
        <translation>Serveur STUN &amp;2</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Look the public address up over &amp;HTTP</source>
        <translation>Demander l&apos;adresse publique par &amp;HTTP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>HTTP &amp;lookup address</source>
        <translation>Adresse de la requête &amp;HTTP</translation>
    </message>
    <message>
        <location line="+9"/>
        <source>Use a &amp;static public address and port mapping</source>
        <translation>Utiliser une adresse publique et une redirection de ports &amp;statiques</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Public &amp;IP address</source>
        <translation>Adresse &amp;IP publique</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Public SI&amp;P port</source>
        <translation>Port SI&amp;P public</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The router&apos;s port that is mapped to the SIP port</source>
        <translation>Le port du routeur redirigé vers le port SIP</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Public &amp;RTP port base</source>
        <translation>Premier port &amp;RTP public</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The router&apos;s first port mapped to the RTP ports; an even number</source>
        <translation>Le premier port du routeur redirigé vers les ports RTP ; un nombre pair</translation>
    </message>
    <message>
        <location line="+24"/>
        <source>Write the &amp;SIP trace file</source>
        <translation>Écrire la trace &amp;SIP</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Trace &amp;RTP packets as well</source>
        <translation>Tracer aussi les paquets &amp;RTP</translation>
    </message>
    <message>
        <location line="+23"/>
        <source>Accept intercom calls from &amp;everybody</source>
        <translation>Accepter les appels d&apos;interphone de &amp;tout le monde</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Allow</source>
        <translation>Autoriser</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Only from addresses containing:</source>
        <translation>&amp;Seulement des adresses contenant :</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Intercom calls are accepted from callers whose address contains an entry of this list</source>
        <translation>Les appels d&apos;interphone sont acceptés des appelants dont l&apos;adresse contient une entrée de cette liste</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>user@host, host or number</source>
        <translation>utilisateur@hôte, hôte ou numéro</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Address to allow</source>
        <translation>Adresse à autoriser</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>user@host, host or number; Add puts it on the list</source>
        <translation>utilisateur@hôte, hôte ou numéro ; « Ajouter » la met dans la liste</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="-39"/>
        <location filename="../src/ui/options_pages.cpp" line="+1"/>
        <source>&amp;Add</source>
        <translation>&amp;Ajouter</translation>
    </message>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="+2"/>
        <source>Adds the address to allow to the list</source>
        <translation>Ajoute l&apos;adresse à autoriser à la liste</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="+3"/>
        <location filename="../src/ui/options_pages.cpp" line="+1"/>
        <source>Re&amp;move</source>
        <translation>&amp;Retirer</translation>
    </message>
    <message>
        <location filename="../src/ui/options_pages.cpp" line="+2"/>
        <source>Removes the selected entry from the list</source>
        <translation>Retire l&apos;entrée sélectionnée de la liste</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>&amp;Talk back automatically on an intercom call</source>
        <translation>&amp;Répondre automatiquement à un appel d&apos;interphone</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Let a second call &amp;wait while a call is up</source>
        <translation>Laisser un second appel &amp;attendre pendant un appel</translation>
    </message>
    <message>
        <location line="+28"/>
        <source>(any caller)</source>
        <translation>(n&apos;importe quel appelant)</translation>
    </message>
    <message>
        <location filename="../src/ui/hot_keys_page.cpp" line="-14"/>
        <source>Intercom with a contact</source>
        <translation>Interphone avec un contact</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Press the key to grab: F1 to F24, a digit or a letter, with modifiers</source>
        <translation>Appuyez sur la touche voulue : F1 à F24, un chiffre ou une lettre, avec modificateurs</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>What the hot key does</source>
        <translation>Ce que fait le raccourci</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The address that Intercom with a contact calls</source>
        <translation>L&apos;adresse qu&apos;appelle « Interphone avec un contact »</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Adds the key and its command to the list</source>
        <translation>Ajoute la touche et sa commande à la liste</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Removes the selected hot key</source>
        <translation>Retire le raccourci sélectionné</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Key</source>
        <translation>&amp;Touche</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>&amp;Command</source>
        <translation>&amp;Commande</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Call &amp;to</source>
        <translation>&amp;Appeler</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;Hot keys (they work while another program has the focus):</source>
        <translation>&amp;Raccourcis (ils marchent même quand un autre programme a le focus) :</translation>
    </message>
    <message>
        <location line="+71"/>
        <source>Intercom with %1</source>
        <translation>Interphone avec %1</translation>
    </message>
    <message>
        <location filename="../src/ui/codec_order_widget.cpp" line="+48"/>
        <source>Voice codecs</source>
        <translation>Codecs vocaux</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Ticked codecs are offered in this order; the far end&apos;s first one that is ticked is taken</source>
        <translation>Les codecs cochés sont proposés dans cet ordre ; le premier coché de l&apos;interlocuteur est retenu</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>&amp;Up</source>
        <translation>&amp;Monter</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do&amp;wn</source>
        <translation>&amp;Descendre</translation>
    </message>
</context>
<context>
    <name>quillet::ui::PagePanel</name>
    <message>
        <location filename="../src/ui/page_panel.cpp" line="+20"/>
        <source>Stop listening</source>
        <translation>Ne plus écouter</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Stop listening to this page</source>
        <translation>Ne plus écouter cet appel général</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>The page goes on for others; this speaker stops playing it. Later pages still play.</source>
        <translation>L&apos;appel général continue pour les autres ; ce haut-parleur ne le joue plus. Les appels suivants seront joués.</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>Page: %1</source>
        <translation>Appel général : %1</translation>
    </message>
</context>
<context>
    <name>quillet::ui::TransportLabel</name>
    <message>
        <location filename="../src/ui/transport_label.cpp" line="+74"/>
        <source>The line&apos;s signalling is encrypted (TLS)</source>
        <translation>La signalisation de la ligne est chiffrée (TLS)</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>The line&apos;s signalling is not encrypted (%1)</source>
        <translation>La signalisation de la ligne n&apos;est pas chiffrée (%1)</translation>
    </message>
</context>
<context>
    <name>quillet::ui::TrayIcon</name>
    <message>
        <location filename="../src/ui/tray_icon.cpp" line="+76"/>
        <source>Show Quillet</source>
        <translation>Afficher Quillet</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Intercom</source>
        <translation>Interphone</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Do Not Disturb</source>
        <translation>Ne pas déranger</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>E&amp;xit</source>
        <translation>&amp;Quitter</translation>
    </message>
</context>
</TS>
