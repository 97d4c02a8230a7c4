#include "std_streams.h"

#include <fcntl.h>

#include <cstdio>

#ifdef _WIN32
#include <io.h>  // dup, dup2, open, close and lseek, by their POSIX names
#else
#include <stdio_ext.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
const char null_device[] = "NUL";
#else
const char null_device[] = "/dev/null";
#endif

std::string contents(std::FILE *file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  std::fclose(file);
  return text;
}

// Drops whatever input a previous run left in standard input's buffer.
void purge_stdin() {
#ifdef _WIN32
  std::fflush(stdin);  // the Windows runtime empties an input stream's buffer on a flush
#else
  __fpurge(stdin);
#endif
  std::clearerr(stdin);
}

}  // namespace

void fail_reads_of_stdin() {
  const int write_only = open(null_device, O_WRONLY);
  dup2(write_only, 0);
  close(write_only);
}

StreamsRun run_with_streams(const std::string &input, const std::function<int()> &body,
                            bool output_fails) {
  std::FILE *in = std::tmpfile();
  std::FILE *out = std::tmpfile();
  std::FILE *err = std::tmpfile();
  std::fwrite(input.data(), 1, input.size(), in);
  std::fflush(in);
  std::rewind(in);

  std::fflush(stdout);
  std::fflush(stderr);
  const int saved[3] = {dup(0), dup(1), dup(2)};
  dup2(fileno(in), 0);
  dup2(fileno(out), 1);
  dup2(fileno(err), 2);
  if (output_fails) {
    const int read_only = open(null_device, O_RDONLY);
    dup2(read_only, 1);
    close(read_only);
  }
  purge_stdin();
  std::clearerr(stdout);

  StreamsRun run;
  run.status = body();

  std::fflush(stdout);
  std::fflush(stderr);
  run.input_consumed = static_cast<long>(lseek(0, 0, SEEK_CUR));
  purge_stdin();
  std::clearerr(stdout);
  for (int fd = 0; fd < 3; ++fd) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
  std::fclose(in);
  run.out = contents(out);
  run.err = contents(err);
  return run;
}
