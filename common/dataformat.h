// Formatting of inventory values that does not depend on the user's locale.
//
// The programs switch the C runtime to the user's locale at start-up, so that
// console texts follow the user's conventions. Inventory values are data
// that servers parse, so they must read the same on every machine: these
// helpers write them in the "C" conventions (decimal point ".", dates as
// month/day/year) whatever locale is in force.
#pragma once

#include <string>

namespace qv {

// printf's "%<width>.<precision>f" in the "C" locale.
std::string FixedC(double value, int width, int precision);

// strftime's "%c" in the "C" locale: "MM/DD/YY HH:MM:SS" (two digits each;
// the year's last two digits). `year` is the full year.
std::string DateTimeC(int year, int month, int day, int hour, int minute, int second);

}  // namespace qv
