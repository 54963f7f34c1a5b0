// A small modal dialog on a text terminal, in place of a platform dialog library: a caption,
// titled groups, labels, edit fields, push buttons, a trackbar and read-only displays placed on a
// grid of character cells, drawn with ANSI escape sequences and driven by raw key input.
// A program derives its dialog from DLG_Dialog, builds the template in its constructor and
// handles the notifications. Control texts may be set and read from any thread, so a worker
// thread can update the displays and show message boxes while the user-interface thread runs
// the modal loop. Without a terminal the controls still hold their texts: a program can drive
// the same dialog non-interactively.
#pragma once

#include <cstdint>
#include <memory>

// Control styles.
inline constexpr uint32_t DLG_EDIT_PASSWORD = 1;   // shows one '*' per character
inline constexpr uint32_t DLG_EDIT_READONLY = 2;   // a display: neither focused nor edited
inline constexpr uint32_t DLG_BUTTON_DEFAULT = 4;  // Enter in an edit field presses it

// Message box icons.
enum DLG_Icon { DLG_ICON_NONE, DLG_ICON_INFORMATION, DLG_ICON_WARNING, DLG_ICON_ERROR };

// Results of doModal.
inline constexpr int DLG_IDOK = 1;
inline constexpr int DLG_IDCANCEL = 2;

class DLG_Dialog {
 public:
  // caption: copied.
  explicit DLG_Dialog(const char* caption);
  DLG_Dialog(const DLG_Dialog&) = delete;
  DLG_Dialog& operator=(const DLG_Dialog&) = delete;
  virtual ~DLG_Dialog();

  // The template, built before doModal on the thread that runs it. Places are (row, column)
  // of the terminal, 0-based, below the caption row; widths in cells. Ids are unique and
  // positive; a label may use id 0.
  void addGroup(const char* title, int row, int col, int width);
  void addStatic(int id, const char* text, int row, int col, int width);
  // maxChars: the most characters the user may type (texts set by the program are cut there).
  void addEdit(int id, int row, int col, int width, uint32_t style, int maxChars);
  void addButton(int id, const char* text, int row, int col, uint32_t style);
  // One cell per step when the range fits the width; range 0 to 100 until set.
  void addTrackbar(int id, int row, int col, int width);
  // An item of the system menu (opened with Alt-Space); '&' marks the access key and is not
  // shown. A null or empty text adds a separator.
  void appendSystemMenu(int id, const char* text);

  // Controls; any thread. -1 for an unknown id (or a control of the wrong kind), else 0.
  int setDlgItemText(int id, const char* text);
  int setDlgItemInt(int id, uint32_t value);  // unsigned decimal
  // At most size - 1 bytes, always NUL-ended; the length stored, or -1.
  int getDlgItemText(int id, char* text, int size);
  int setTrackbarRange(int id, int minimum, int maximum);
  // Kept inside the range.
  int setTrackbarPos(int id, int position);
  // The position, or -1.
  int getTrackbarPos(int id);

  // Shows text under caption until the user dismisses it; any thread. On the loop's own thread
  // it waits for the key itself; from another thread while the loop runs it waits until the
  // loop has shown and the user dismissed it, or the loop has ended; with no loop running it
  // writes "caption: text" as one line to standard error. 0.
  virtual int messageBox(const char* text, const char* caption, DLG_Icon icon);

  // Runs the dialog on the terminal of standard input and output: onInitDialog, the key loop
  // until Esc, Ctrl-C, the end of input or endDialog; then message boxes of other threads are
  // let go, the terminal is restored and onDestroy runs. The result given to endDialog
  // (DLG_IDCANCEL for Esc and Ctrl-C), or -1 without a terminal (nothing is called then).
  int doModal();
  // Ends the modal loop after the key being handled; any thread.
  void endDialog(int result);

 protected:
  // The notifications, on the loop's thread.
  virtual int onInitDialog() { return 0; }
  virtual void onCommand(int /*id*/) {}           // a push button was pressed
  virtual void onTrackbarReleased(int /*id*/) {}  // the user has moved the trackbar
  virtual void onSysCommand(int /*id*/) {}        // a system menu item was chosen
  virtual void onDestroy() {}

 private:
  struct State;
  std::unique_ptr<State> state_;
};
