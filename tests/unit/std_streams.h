// Runs a piece of the tool with its standard streams on temporary files, as the
// process would see them: input to read, and the exact bytes of output and error afterwards.
#pragma once

#include <functional>
#include <string>

struct StreamsRun {
  int status;
  std::string out;
  std::string err;
  long input_consumed;  // bytes of standard input read at the file level
};

// With `output_fails`, standard output is a descriptor open for reading only: every write to it
// fails.
StreamsRun run_with_streams(const std::string &input, const std::function<int()> &body,
                            bool output_fails = false);

// Called inside a run's body: from now on every read of standard input fails (its descriptor is
// open for writing only), as a pipe or disk failing mid-stream would make it.
void fail_reads_of_stdin();
