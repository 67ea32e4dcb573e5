#pragma once

// Facts about this process as the kernel keeps them, for start-up and memory figures
// that include everything a user waits for and pays for: the dynamic loader, the
// libraries' initialisers, mapped files and the GPU driver's own allocations.
namespace ProcessProbe {

struct Elapsed {
    double milliseconds = 0.0;
    // True when measured from the kernel's start of the process; false when from the
    // initialisation of this program's static data (after the dynamic loader), which is
    // used when the kernel's record cannot be read or when the process was started long
    // before this program was executed in it (a shell that ran it with exec).
    bool sinceProcessStart = false;
};

// Time since the process started (10 ms resolution: the kernel keeps the start in clock
// ticks).
Elapsed sinceStart();

// Processor time used so far by all of the process's threads (user and system), in ms.
// Unlike wall time it hardly grows when other processes compete for the cores, so it
// compares runs made under different load.
double cpuMilliseconds();

// The largest resident set so far, in MiB.
double peakResidentMegabytes();

// The resident set now (VmRSS: private and shared pages, file-backed ones included), in MiB.
double residentMegabytes();

} // namespace ProcessProbe
