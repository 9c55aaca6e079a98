// Bounded decimal reading and saturating arithmetic for the subtitle readers.
#include "subtitles/text.h"

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const char *ReadDecimal(const char *text, const char *end, int32_t *value) {
    const char *p = text;
    while (p < end && IsBlank((unsigned char)*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p >= end || *p < '0' || *p > '9') return nullptr;
    // Accumulate in 64 bits and stop growing once past the int32 range, so any number of digits
    // is safe.
    int64_t magnitude = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= INT64_C(0x80000000)) magnitude = magnitude * 10 + (*p - '0');
    }
    int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) signedValue = INT32_MAX;
    if (signedValue < INT32_MIN) signedValue = INT32_MIN;
    *value = (int32_t)signedValue;
    return p;
}

int32_t SaturatingAdd(int32_t a, int32_t b) {
    int64_t sum = (int64_t)a + (int64_t)b;
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return (int32_t)sum;
}
