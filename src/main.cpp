// The entry point: hands the command line to run_dravlet, which tests and
// the fuzzer also call in-process.
#include "dravlet.h"

#ifdef _WIN32
#include "runtime.h"

// MinGW's start-up expands wildcards in the arguments when a toolchain is
// built to: "dravlet *.bin 10" would then make the second matching file, an
// existing one, the destination. The tool takes its arguments as typed.
extern "C" {
int _dowildcard = 0;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

// Windows passes the command line as UTF-16 (-municode); the tool carries
// it as UTF-8, and the runtime unit hands paths back to the system as UTF-16.
int wmain(int argc, wchar_t* argv[]) { return run_dravlet(argc, rt::utf8_arguments(argc, argv)); }
#else
#include <signal.h>

int main(int argc, char* argv[]) {
  // A write into a pipe whose reader has gone, or past the file size limit,
  // is a failed write: the copy reports it rather than dying of the signal,
  // and a report line that cannot be printed does not turn a complete copy
  // into a failure.
  static_cast<void>(signal(SIGPIPE, SIG_IGN));
  static_cast<void>(signal(SIGXFSZ, SIG_IGN));
  return run_dravlet(argc, argv);
}
#endif
