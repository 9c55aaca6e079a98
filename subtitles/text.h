// Small text helpers shared by the index reader and the graymap loader. Both read numbers the
// way the C library's "%d" does (leading white space, an optional sign, at least one digit),
// but always within the bounds they are given and without the undefined behaviour of "%d" on
// values that do not fit an int32: such values saturate.
#pragma once

#include <cstdint>

// The white space of the C locale: space, tab, line feed, vertical tab, form feed, carriage return.
bool IsBlank(int c);

// Reads one decimal integer from [text, end) as "%d" does. Returns the position after its last
// digit, or null (and leaves *value alone) when no digit follows the white space and sign.
const char *ReadDecimal(const char *text, const char *end, int32_t *value);

// a + b clamped to the int32 range.
int32_t SaturatingAdd(int32_t a, int32_t b);
