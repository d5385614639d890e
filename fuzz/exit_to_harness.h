// Forced into settings.cc for the fuzz build only: print_usage's exit() goes back to the harness
// instead of ending the run. <cstdlib> comes first, as it undefines any macro named exit.
#pragma once

#include <cstdlib>

[[noreturn]] void fuzz_exit(int status);
#define exit fuzz_exit
