#pragma once

// Chooses the command from the command line and runs it; returns the exit status. Nothing is read
// from standard input unless a command word was recognised.
int run_command_line(int argc, char **argv);
