// Product code that calls a function Windows XP lacks. Built with the
// product's options, whose headers are held to the oldest Windows the build
// runs on, it must not compile: the compiler, not only the import check,
// keeps Vista's functions out.
#include <windows.h>

unsigned long long Uptime() { return ::GetTickCount64(); }
