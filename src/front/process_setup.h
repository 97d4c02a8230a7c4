// What the process settles before it reads a byte.
#pragma once

// Keeps secrets out of core files, crash reports and other processes' reach, and the DLLs the
// process loads out of reach of planting. Each measure is best effort: one the system refuses
// (an older Windows, Wine) is skipped, never a failure.
void harden_process();

// How the standard streams and the signals that writing can raise behave for the whole run.
void set_up_standard_streams();
