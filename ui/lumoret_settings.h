#ifndef LUMORET_UI_LUMORET_SETTINGS_H
#define LUMORET_UI_LUMORET_SETTINGS_H

#include <optional>
#include <string>
#include <vector>

#include "engine/host_state.h"

class wxConfigBase;

// What the user sets in the settings dialog (设置): how a row's state is judged, how it
// is told, where the window goes, and how often names are looked up again. Kept between
// starts.
struct LumoretSettings {
  HostStateRules rules;           // when a host is down or lossy
  bool alerts = true;             // a desktop notification when hosts go down or come back
  bool sound = false;             // and a sound with it
  bool tray_icon = true;          // an icon in the desktop's tray, where it has one
  bool minimise_to_tray = false;  // minimising hides the window in the tray
  long resolve_minutes = 5;       // every name is looked up again this often (the engine's
                                  // default); 0: never
};

// The values a whole-number setting may take, both ends included.
struct SettingRange {
  long low;   // the smallest
  long high;  // the largest
};

// Beyond these a rule means nothing: a hundred timeouts in a row is minutes of outage,
// and a delay over the 5 s a reply is waited for is never measured.
constexpr SettingRange kDownAfterLostRange{1, 100};
constexpr SettingRange kWindowRange{1, HostStateRules::kMaxWindow};
constexpr SettingRange kLossPercentRange{1, 100};
constexpr SettingRange kDelayMsRange{1, 5000};
// Names looked up again from every minute to once a day, or never (0).
constexpr SettingRange kResolveMinutesRange{0, 24 * 60};

// The number a setting's text holds, when it is a whole number in range (spaces around
// it allowed); empty for anything else.
std::optional<long> SettingNumber(const std::string& text, SettingRange range);
// The switch a setting's text holds: 1 or true, 0 or false (any case, spaces around it
// allowed); empty for anything else.
std::optional<bool> SettingSwitch(const std::string& text);

// Where config keeps the settings, for messages: a settings file's path, or the registry
// key.
std::string SettingsSource(const wxConfigBase& config);
// The number under key; empty when there is none, or when it is no whole number in range,
// with a line in problems naming the place, the key, the value and what is used instead.
std::optional<long> ReadCheckedNumber(const wxConfigBase& config, const std::string& key,
                                      SettingRange range, const std::string& instead,
                                      std::vector<std::string>* problems);
// The number under key, or fallback when there is none or it is bad (told in problems).
long ReadNumber(const wxConfigBase& config, const std::string& key, SettingRange range,
                long fallback, std::vector<std::string>* problems);
// The same for a switch.
bool ReadSwitch(const wxConfigBase& config, const std::string& key, bool fallback,
                std::vector<std::string>* problems);

// The settings kept in config: the default for each one missing, and for each one that is
// bad, with a line in problems.
LumoretSettings LoadSettings(const wxConfigBase& config, std::vector<std::string>* problems);
// Writes the settings to config and saves it at once; false when it could not be saved.
bool SaveSettings(wxConfigBase& config, const LumoretSettings& settings);

#endif  // LUMORET_UI_LUMORET_SETTINGS_H
