#include "player/version_reminder.h"

#include <cstdio>

namespace tarn {

std::string FormatDate(const CalendarDate& d) {
  char text[32];
  std::snprintf(text, sizeof text, "%04i-%02i-%02i", d.year, d.month, d.day);
  return text;
}

CalendarDate TwoMonthsEarlier(const CalendarDate& d) {
  if (d.month <= 2) return {d.year - 1, d.month + 10, d.day};
  return {d.year, d.month - 2, d.day};
}

CalendarDate SevenDaysEarlier(const CalendarDate& d) {
  if (d.day > 7) return {d.year, d.month, d.day - 7};
  if (d.month == 1) return {d.year - 1, 12, d.day + 23};
  return {d.year, d.month - 1, d.day + 23};
}

int VersionReminder(const ReminderEnvironment& env) {
  if (!env.hasToolSuite || !env.hasToolSuite()) return 0;
  const CalendarDate today = env.today();
  const std::string a = FormatDate(TwoMonthsEarlier(today));
  const std::string b = FormatDate(SevenDaysEarlier(today));
  if (a.compare(kReminderReferenceDate) <= 0) return 0;
  std::string last = env.readValue(kLastCheckKey, kReminderReferenceDate);
  if (last.size() > 15) last.resize(15);
  if (last.compare(b) >= 0) return 0;
  const std::string now = FormatDate(today);
  env.writeValue(kLastCheckKey, now);
  if (!env.askYesNo(kReminderCaption, kReminderQuestion)) return 0;
  char address[512];
  std::snprintf(address, sizeof address, "%s/scripts/tarnver.asp?%sver=1.8n", env.webSite.c_str(),
                env.isWow64 ? "win64&" : "");
  env.openAddress(address);
  if (env.sleep) env.sleep(250);
  env.writeValue(kLastCheckKey, now);
  return 1;
}

}  // namespace tarn
