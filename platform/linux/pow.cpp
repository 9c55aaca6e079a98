// pow for the Linux build: the C library's own, whose result does not depend on any
// floating-point state the host could set (x86-64 glibc computes it in SSE2 registers).
#include <cmath>

#include "platform/win32.h"

double PowAtFullPrecision(double base, double exponent) { return std::pow(base, exponent); }
