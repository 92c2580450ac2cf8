// tvSetupCtl: the install engine's operations from the command line (setupCtl.h).
#include <cstdio>
#include <string>
#include <vector>

#include "installTools/tvSetupCtl/setupCtl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string out, err;
  int code = SetupCtlMain(args, out, err);
  std::fputs(out.c_str(), stdout);
  if (!err.empty()) std::fprintf(stderr, "tvSetupCtl: %s\n", err.c_str());
  return code;
}
