// tapview: watches a capture engine's counters. Without arguments it runs its dialog on the
// terminal; "--once HOST PORT PASSWORD" polls the server once, prints the displays and ends
// (status 0 when every value arrived), for scripts and tests.
#include <cstdio>
#include <cstring>
#include <string>

#include "CTapviewDlg.h"

namespace {

constexpr const char* kUsage =
    "usage: tapview [--once HOST PORT PASSWORD]\n"
    "Watches a capture engine's counters on the terminal.\n"
    "  --once HOST PORT PASSWORD   poll the engine's command server once, print the values and\n"
    "                              end (status 0 when every value arrived)\n"
    "  --help                      print this and exit\n"
    "The engine sends each counter as a 32-bit number (the console protocol's form), which wraps\n"
    "at 2^32: the byte counters every 4 GiB, every 34 s at 1 Gbit/s. Polling, tapview adds the\n"
    "wraps it sees between two polls, so its totals hold while it polls at least once per wrap\n"
    "(a rate under 34 s at 1 Gbit/s); --once shows the engine's 32-bit values as they are.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 5 && strcmp(argv[1], "--once") == 0) {
    CTapviewDlg dialog;
    dialog.onInitDialog();
    dialog.setDlgItemText(CTapviewDlg::IDC_SERVER, argv[2]);
    dialog.setDlgItemText(CTapviewDlg::IDC_PORT, argv[3]);
    dialog.setDlgItemText(CTapviewDlg::IDC_PASSWORD, argv[4]);
    if (dialog.connectServer() != 0) return 1;
    int closed = dialog.pollStatistics();
    dialog.printDisplays(stdout);
    return closed == 0 && dialog.lastPollComplete() != 0 ? 0 : 1;
  }
  if (argc != 1) {
    if (strcmp(argv[1], "--once") == 0) {
      static const char* const kNames[] = {"HOST", "PORT", "PASSWORD"};
      if (argc < 5) {
        std::string missing;
        for (int i = argc - 2; i < 3; ++i)
          missing += std::string(missing.empty() ? "" : (i == 2 ? " and " : ", ")) + kNames[i];
        fprintf(stderr, "tapview: --once needs HOST PORT PASSWORD; %s %s missing\n",
                missing.c_str(), argc == 4 ? "is" : "are");
      } else {
        fprintf(stderr, "tapview: --once takes HOST PORT PASSWORD only; %s is one too many\n",
                argv[5]);
      }
    } else if (argv[1][0] == '-') {
      fprintf(stderr, "tapview: unknown option %s\n", argv[1]);
    } else {
      fprintf(stderr, "tapview: unknown argument %s\n", argv[1]);
    }
    fputs(kUsage, stderr);
    return 2;
  }
  CTapviewDlg dialog;
  if (dialog.doModal() < 0) {
    fprintf(stderr, "tapview: needs a terminal (or --once HOST PORT PASSWORD)\n");
    return 1;
  }
  return 0;
}
