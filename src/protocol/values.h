// The terminal's clock values and configuration parameters as exchanged, without the checks
// of the exported calls (device open, terminal selected, arguments present).
#pragma once

#include <cstdint>

namespace veldc::protocol {

// HHMMSS within a day.
bool ValidTime(const char *text);
// WYYMMDD; February has 29 days in every year and W is not matched against the date.
bool ValidDate(const char *text);

// "TIME" / "DATE": the value is the reply from its sixth character on; a shorter reply is
// `refused`.
int ReadClockValue(const char *word, int32_t refused, char *value);
// The terminal takes a setting by echoing the command exactly; otherwise `refused`.
int WriteClockValue(const char *word, const char *value, int32_t refused);
// A date checked (error 3) and written (error 50 when the terminal does not take it).
int WriteDate(const char *date);

// One "CFG nn" read exchange; its value is then ReadReplyValue().
int ReadParameter(int number);
const char *ReadReplyValue();

}  // namespace veldc::protocol
