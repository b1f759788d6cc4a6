// The texts the update applet shows the user: twelve messages in French,
// English and German, and which one tells the user about an engine result.
#pragma once

inline constexpr int user_message_count = 12;
inline constexpr int user_message_size = 80; // bytes of one text, its NUL included

enum user_language { language_french, language_english, language_german, language_count };

// Message indexes.
enum user_message {
    message_too_old = 0,           // the file is older than the device allows
    message_none = 1,              // empty
    message_invalid_file = 2,      // the file cannot be opened or checked
    message_internal_error = 3,    // any other failure
    message_keep_power = 4,        // on DC-in power
    message_keep_usb = 5,          // on USB power
    message_connect_dc = 6,        // waiting for DC-in
    message_connect_dc_or_usb = 7, // waiting for DC-in or USB
    message_update_ok = 8,         // the run succeeded
    message_in_progress = 9,       // the battery (or --force_dc) lets the run start
    message_copy_failed = 10,      // a COPY chunk failed
    message_battery_low = 11,      // charging before the run can start
};

// Each message in the three languages, NUL-terminated within 80 bytes.
// clang-format off
inline constexpr char user_messages[user_message_count][language_count][user_message_size] = {
    {"Cette mise à jour est trop ancienne pour la version de votre matériel.",
     "This firmware update is too old for your hardware version.",
     "Dieses Firmware-Update ist zu alt für Ihre Hardwareversion."},
    {"", "", ""},
    {"Erreur.  Le fichier de mise à jour n'est pas valide.",
     "Error.  Update file is not valid.",
     "Fehler.  Die Update-Datei ist ungültig."},
    {"Erreur interne. Appuyez sur une touche pour redémarrer.",
     "Internal error. Press a key to reboot.",
     "Interner Fehler. Zum Neustart eine Taste drücken."},
    {"Ne débranchez pas l'alimentation pendant la mise à jour.",
     "Do not unplug power cable during update.",
     "Netzkabel während des Updates nicht abziehen."},
    {"Laissez le câble USB branché pendant la mise à jour",
     "Please leave USB cable plugged in during update",
     "Bitte das USB-Kabel während des Updates eingesteckt lassen"},
    {"Branchez l'alimentation DC pour mettre à jour l'appareil.",
     "Please connect DC-in to update your device.",
     "Bitte DC-Netzteil anschließen, um das Gerät zu aktualisieren."},
    {"Branchez l'alimentation DC ou le câble USB pour la mise à jour.",
     "Please connect DC-in or USB cable to update your device.",
     "DC-Netzteil oder USB-Kabel anschließen, um das Gerät zu aktualisieren."},
    {"Mise à jour réussie. L'appareil va redémarrer.",
     "Update OK. Device will now reboot.",
     "Update erfolgreich. Das Gerät startet jetzt neu."},
    {"Mise à jour en cours...",
     "Update in progress...",
     "Update läuft..."},
    {"Erreur interne. Copie impossible. Appuyez sur une touche",
     "Internal error. Copy failed. Press a key to reboot",
     "Interner Fehler. Kopieren fehlgeschlagen. Taste drücken"},
    {"Batterie trop faible pour la mise à jour, en charge.",
     "Battery level is too low to update your device, charging.",
     "Akku zu schwach für das Update, wird geladen."},
};
// clang-format on

static_assert(sizeof user_messages == user_message_count * 240);

// The English text of message i (the one the device shows); "" for an index
// outside the table.
const char *user_message_text(int i);

// The message that reports a failed run's result: message_invalid_file for
// 201, 203 to 209 and 252, message_copy_failed for 214, message_too_old for
// 221, message_internal_error for every other code.
int failure_message(int result);
