// Program entry: the command line, the locale, then the window or the headless server.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/Console.h"
#include "support/Toolz.h"

#ifdef QS_WITH_UI
#include "ui/App.h"
#endif

namespace {

// Each client holds a descriptor; the default soft limit of 1024 would cap the users.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool headless = false;
  for (const std::string& arg : args) {
    if (arg == "--headless") {
      headless = true;
    } else if (arg == "--help") {
      std::fputs(qs::UsageText(argv[0]).c_str(), stdout);
      return 0;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "%s: unknown option %s\n\n", argv[0], arg.c_str());
      std::fputs(qs::UsageText(argv[0]).c_str(), stderr);
      return 2;
    }
  }
  qs::SetProgramArguments(args);
  qs::RefreshLocale();
  RaiseDescriptorLimit();
  ::signal(SIGPIPE, SIG_IGN);  // a vanished client is an error code, never a signal

  if (headless) return qs::RunHeadless();
#ifdef QS_WITH_UI
  return qs::RunWindowed(argc, argv);
#else
  std::fprintf(stderr,
               "%s: this build has no window; run it with --headless to serve without one.\n",
               argv[0]);
  return 1;
#endif
}
