#include "ui/lumoret_settings.h"

#include <wx/config.h>
#include <wx/log.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "ui/settings_file.h"

namespace {

// The keys, by group.
const char kDownAfterLostKey[] = "/State/DownAfterLost";
const char kWindowKey[] = "/State/Window";
const char kLossPercentKey[] = "/State/LossyLossPercent";
const char kDelayMsKey[] = "/State/LossyDelayMs";
const char kAlertsKey[] = "/Alerts/Enabled";
const char kSoundKey[] = "/Alerts/Sound";
const char kTrayIconKey[] = "/Tray/Icon";
const char kMinimiseKey[] = "/Tray/Minimise";
const char kResolveMinutesKey[] = "/Names/ResolveMinutes";

// A value quoted in a message is cut to this many characters: enough to recognise it.
constexpr std::size_t kQuotedChars = 40;

// text without the spaces, tabs and line ends around it.
std::string Trimmed(const std::string& text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

// A value as a message shows it: in quotes, cut short, control characters as '?', so that
// a binary file cannot garble the terminal.
std::string Quoted(const wxString& value) {
  wxString shown;
  for (wxUniChar c : value) {
    if (shown.length() == kQuotedChars) {
      shown += "...";
      break;
    }
    shown += c.GetValue() < 0x20 || c.GetValue() == 0x7F ? wxUniChar('?') : c;
  }
  return "\"" + shown.utf8_string() + "\"";
}

// The text under key, when there is one. The registry keeps numbers and switches as
// numbers, which it will not read as text (and says so in an error box): those are read
// as numbers and written out.
std::optional<wxString> ReadText(const wxConfigBase& config, const std::string& key) {
  const wxString name = wxString::FromUTF8(key);
  wxString text;
  long number = 0;
  wxLogNull quiet;
  if (config.Read(name, &text)) {
    return text;
  }
  if (config.HasEntry(name) && config.Read(name, &number)) {
    return wxString::Format("%ld", number);
  }
  return std::nullopt;
}

// The line that tells a bad value was replaced.
std::string Replaced(const wxConfigBase& config, const std::string& key, const wxString& value,
                     const std::string& wanted, const std::string& used) {
  return SettingsSource(config) + ": " + key + " is " + Quoted(value) + ", not " + wanted +
         "; using " + used + ".";
}

}  // namespace

std::optional<long> SettingNumber(const std::string& text, SettingRange range) {
  const std::string number = Trimmed(text);
  long value = 0;
  const char* end = number.data() + number.size();
  const auto [stop, error] = std::from_chars(number.data(), end, value);
  if (number.empty() || error != std::errc() || stop != end || value < range.low ||
      value > range.high) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> SettingSwitch(const std::string& text) {
  std::string word = Trimmed(text);
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (word == "1" || word == "true") {
    return true;
  }
  if (word == "0" || word == "false") {
    return false;
  }
  return std::nullopt;
}

std::string SettingsSource(const wxConfigBase& config) {
  if (const auto* file = dynamic_cast<const SettingsFile*>(&config)) {
    return file->path();
  }
#ifdef _WIN32
  return "HKEY_CURRENT_USER\\Software\\" + config.GetAppName().utf8_string();
#else
  return "settings of " + config.GetAppName().utf8_string();
#endif
}

std::optional<long> ReadCheckedNumber(const wxConfigBase& config, const std::string& key,
                                      SettingRange range, const std::string& instead,
                                      std::vector<std::string>* problems) {
  const std::optional<wxString> text = ReadText(config, key);
  if (!text) {
    return std::nullopt;
  }
  const std::optional<long> value = SettingNumber(text->utf8_string(), range);
  if (!value) {
    problems->push_back(Replaced(
        config, key, *text,
        "a whole number from " + std::to_string(range.low) + " to " + std::to_string(range.high),
        instead));
  }
  return value;
}

long ReadNumber(const wxConfigBase& config, const std::string& key, SettingRange range,
                long fallback, std::vector<std::string>* problems) {
  return ReadCheckedNumber(config, key, range, std::to_string(fallback), problems)
      .value_or(fallback);
}

bool ReadSwitch(const wxConfigBase& config, const std::string& key, bool fallback,
                std::vector<std::string>* problems) {
  const std::optional<wxString> text = ReadText(config, key);
  if (!text) {
    return fallback;
  }
  if (const std::optional<bool> value = SettingSwitch(text->utf8_string())) {
    return *value;
  }
  problems->push_back(
      Replaced(config, key, *text, "0, 1, true or false", fallback ? "true" : "false"));
  return fallback;
}

LumoretSettings LoadSettings(const wxConfigBase& config, std::vector<std::string>* problems) {
  const LumoretSettings defaults;
  LumoretSettings settings;
  HostStateRules& rules = settings.rules;
  rules.down_after_lost = static_cast<int>(ReadNumber(
      config, kDownAfterLostKey, kDownAfterLostRange, defaults.rules.down_after_lost, problems));
  rules.window = static_cast<int>(
      ReadNumber(config, kWindowKey, kWindowRange, defaults.rules.window, problems));
  rules.lossy_loss_percent = static_cast<int>(ReadNumber(
      config, kLossPercentKey, kLossPercentRange, defaults.rules.lossy_loss_percent, problems));
  rules.lossy_delay_ms = static_cast<std::uint32_t>(
      ReadNumber(config, kDelayMsKey, kDelayMsRange, defaults.rules.lossy_delay_ms, problems));
  settings.alerts = ReadSwitch(config, kAlertsKey, defaults.alerts, problems);
  settings.sound = ReadSwitch(config, kSoundKey, defaults.sound, problems);
  settings.tray_icon = ReadSwitch(config, kTrayIconKey, defaults.tray_icon, problems);
  settings.minimise_to_tray = ReadSwitch(config, kMinimiseKey, defaults.minimise_to_tray, problems);
  settings.resolve_minutes = ReadNumber(config, kResolveMinutesKey, kResolveMinutesRange,
                                        defaults.resolve_minutes, problems);
  return settings;
}

bool SaveSettings(wxConfigBase& config, const LumoretSettings& settings) {
  const HostStateRules& rules = settings.rules;
  config.Write(kDownAfterLostKey, static_cast<long>(rules.down_after_lost));
  config.Write(kWindowKey, static_cast<long>(rules.window));
  config.Write(kLossPercentKey, static_cast<long>(rules.lossy_loss_percent));
  config.Write(kDelayMsKey, static_cast<long>(rules.lossy_delay_ms));
  config.Write(kAlertsKey, settings.alerts);
  config.Write(kSoundKey, settings.sound);
  config.Write(kTrayIconKey, settings.tray_icon);
  config.Write(kMinimiseKey, settings.minimise_to_tray);
  config.Write(kResolveMinutesKey, settings.resolve_minutes);
  return config.Flush();
}
