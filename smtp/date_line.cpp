// The Date header line of a sent message.
#include "frame/platform/platform.h"
#include "smtp/compose.h"

namespace pel {
namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void twoDigits(char* area, int value) {
  plat::formatText(area, 8, value > 9 ? "%d" : "0%d", value);
}

}  // namespace

void formatDateLine(char* target, int32_t size) {
  plat::LocalTime t;
  int32_t bias = 0;
  int zoneResult = plat::localTime(&t, &bias);
  char minute[8];
  char second[8];
  twoDigits(minute, t.minute);
  twoDigits(second, t.second);
  // The minutes of the zone are dropped and daylight time adds one hour.
  int32_t zone = (-bias / 60) * 100;
  if (zoneResult == 2) zone += 100;
  char zoneText[12];
  plat::formatText(zoneText, sizeof zoneText, "%c%04d", zone >= 0 ? '+' : '-',
                   zone >= 0 ? zone : -zone);
  const char* day = kDayNames[(t.dayOfWeek % 7 + 7) % 7];
  const char* month = kMonthNames[(t.month >= 1 && t.month <= 12) ? t.month - 1 : 0];
  plat::formatText(target, static_cast<size_t>(size), "Date: %s, %1d %s %d %1d:%s:%s %s", day,
                   t.day, month, t.year, t.hour, minute, second, zoneText);
}

}  // namespace pel
