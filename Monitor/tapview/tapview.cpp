// tapview: watches a capture engine's counters. Without arguments it runs its dialog on the
// terminal; "--once HOST PORT PASSWORD" polls the server once, prints the displays and ends
// (status 0 when every value arrived), for scripts and tests.
#include <cstdio>
#include <cstring>

#include "CTapviewDlg.h"

namespace {

constexpr const char* kUsage =
    "usage: tapview [--once HOST PORT PASSWORD]\n"
    "Watches a capture engine's counters on the terminal.\n"
    "  --once HOST PORT PASSWORD   poll the engine's command server once, print the values and\n"
    "                              end (status 0 when every value arrived)\n"
    "  --help                      print this and exit\n";

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
    if (argv[1][0] == '-' && strcmp(argv[1], "--once") != 0)
      fprintf(stderr, "tapview: unknown option %s\n", argv[1]);
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
