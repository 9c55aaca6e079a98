// pow for the Windows build, at a fixed x87 precision.
//
// MinGW's pow (libmingwex, linked into the module) computes x^y as exp2l(y * log2l(x)) in x87
// long double, so its result depends on the precision control of the calling thread's x87
// control word. Windows starts every thread at 53 bits (0x27F), and that is what a host's threads
// run the module with; there the results are up to 88 ulps off the exact power, against at most
// one ulp at 64 bits (0x37F), which is also what MinGW's own program start sets. The word is set
// to 64-bit precision for the call and restored after it: two control-word loads per pow, and pow
// runs only while the weight table and the aspect scales are built.
#include <cmath>

#include "platform/win32.h"

double PowAtFullPrecision(double base, double exponent) {
    unsigned short saved;
    __asm__ volatile("fnstcw %0" : "=m"(saved) : : "memory");
    const unsigned short full = (unsigned short)(saved | 0x0300);  // precision control 11: 64 bits
    __asm__ volatile("fldcw %0" : : "m"(full) : "memory");
    const double result = std::pow(base, exponent);
    __asm__ volatile("fldcw %0" : : "m"(saved) : "memory");
    return result;
}
