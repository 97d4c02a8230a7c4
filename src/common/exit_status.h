// The only statuses the tool exits with. There is no status 1.
#pragma once

constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_BAD_INPUT = 3;
constexpr int EXIT_SEAL_FAILED = 4;
constexpr int EXIT_WRITE_FAILED = 5;  // the result did not reach standard output whole
