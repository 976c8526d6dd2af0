// The weekly offer to look for a newer version, made only when the tool suite
// lies beside the player. Everything outside (today's date, the config file,
// the question, the browser) comes through ReminderEnvironment so tests can
// drive it.
#pragma once

#include <functional>
#include <string>

namespace tarn {

struct CalendarDate {
  int year, month, day;
};

// "%04i-%02i-%02i"
std::string FormatDate(const CalendarDate& d);
// Same day two months earlier (January and February go to the previous year).
CalendarDate TwoMonthsEarlier(const CalendarDate& d);
// Seven days earlier the simple way: day - 7, or day + 23 of the previous month.
CalendarDate SevenDaysEarlier(const CalendarDate& d);

inline constexpr const char* kReminderReferenceDate = "2006-07-21";
inline constexpr const char* kLastCheckKey = "LastVersionCheckDate";
inline constexpr const char* kReminderQuestion =
    "It's been a while since you checked for a more recent Tarn version.\n\n"
    "Would you like to check for a newer version of Tarn on the Internet?\n\n"
    "If you choose to check for a new version, Tarn will close to allow the update to install.";
inline constexpr const char* kReminderCaption = "New version check...";

struct ReminderEnvironment {
  std::function<bool()> hasToolSuite;
  std::function<CalendarDate()> today;
  std::function<std::string(const char* key, const char* fallback)> readValue;
  std::function<void(const char* key, const std::string& value)> writeValue;
  std::function<bool(const char* caption, const char* text)> askYesNo;
  std::function<void(const std::string& address)> openAddress;
  std::function<void(unsigned ms)> sleep;
  bool isWow64 = false;
  std::string webSite;  // the maker's site, no trailing slash
};

// 1 when the program is to exit (the user chose to check), else 0.
int VersionReminder(const ReminderEnvironment& env);

}  // namespace tarn
