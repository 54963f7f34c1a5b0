#include "dialog.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kScreenWidth = 80;
// How long the rest of an escape sequence may take to arrive before a lone Esc is taken as
// the Esc key, ms.
constexpr int kEscapeWaitMs = 50;

enum Key : int {
  kKeyEnd = -1,  // standard input ended or failed
  kKeyTab = 9,
  kKeyCtrlC = 3,
  kKeyEsc = 27,
  kKeyEnter = 1000,
  kKeyBackspace,
  kKeyUp,
  kKeyDown,
  kKeyLeft,
  kKeyRight,
  kKeyHome,
  kKeyEndOfLine,
  kKeyPageUp,
  kKeyPageDown,
  kKeyShiftTab,
  kKeyAltSpace,
  kKeyUnknown,
  kKeyWake,  // another thread changed a control or wants a message box
};

struct Control {
  enum Kind { kGroup, kStatic, kEdit, kButton, kTrackbar } kind = kStatic;
  int id = 0;
  std::string text;
  int row = 0;
  int col = 0;
  int width = 0;
  uint32_t style = 0;
  int maxChars = 0;
  int minimum = 0;
  int maximum = 100;
  int position = 0;

  bool focusable() const {
    return kind == kButton || kind == kTrackbar ||
           (kind == kEdit && (style & DLG_EDIT_READONLY) == 0);
  }
};

struct MenuItem {
  int id;
  std::string text;  // empty: separator
};

// A message box another thread is waiting on.
struct Pending {
  std::string text;
  std::string caption;
  DLG_Icon icon;
  bool done = false;
};

// One cell of the screen being composed.
struct Cell {
  char ch = ' ';
  uint8_t attr = 0;  // bits of kAttr*
};
constexpr uint8_t kAttrBold = 1;
constexpr uint8_t kAttrUnderline = 2;
constexpr uint8_t kAttrInverse = 4;

std::string stripAccessMark(const std::string& text) {
  std::string shown;
  for (char c : text)
    if (c != '&') shown += c;
  return shown;
}

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

struct DLG_Dialog::State {
  std::string caption;
  // Guards controls' texts and positions, the pending boxes, looping and the wake pipe; the
  // template itself (the list of controls) is fixed before the loop starts.
  std::mutex lock;
  std::condition_variable dismissed;
  std::vector<Control> controls;
  std::vector<MenuItem> menu;
  std::deque<Pending*> pending;
  bool looping = false;
  std::thread::id loopThread;
  bool ended = false;
  int result = DLG_IDCANCEL;
  int wakeRead = -1;
  int wakeWrite = -1;
  // Loop thread only.
  int focus = -1;
  std::string input;  // bytes read from the terminal, not yet decoded

  Control* find(int id) {
    if (id <= 0) return nullptr;
    for (Control& c : controls)
      if (c.id == id) return &c;
    return nullptr;
  }
  // Under lock.
  void wake() {
    if (looping && wakeWrite >= 0) {
      char byte = 1;
      ssize_t ignored = write(wakeWrite, &byte, 1);  // a full pipe already wakes the loop
      (void)ignored;
    }
  }

  void compose(std::vector<std::vector<Cell>>& grid);
  std::string render(const std::string& overlayTitle, const std::vector<std::string>& overlay,
                     int overlaySelected);
  int readKey();
  int decodeKey();
  bool waitInput(int ms);
};

void DLG_Dialog::State::compose(std::vector<std::vector<Cell>>& grid) {
  auto put = [&grid](int row, int col, const std::string& text, uint8_t attr, int width) {
    if (row < 0 || row >= static_cast<int>(grid.size())) return;
    for (int i = 0; i < width; ++i) {
      int x = col + i;
      if (x < 0 || x >= kScreenWidth) continue;
      grid[static_cast<size_t>(row)][static_cast<size_t>(x)] =
          Cell{i < static_cast<int>(text.size()) ? text[static_cast<size_t>(i)] : ' ', attr};
    }
  };
  for (size_t i = 0; i < controls.size(); ++i) {
    const Control& c = controls[i];
    uint8_t focused = static_cast<int>(i) == focus ? kAttrInverse : 0;
    switch (c.kind) {
      case Control::kGroup: {
        std::string line = "- " + c.text + " ";
        line += std::string(
            static_cast<size_t>(std::max(0, c.width - static_cast<int>(line.size()))), '-');
        put(c.row, c.col, line, kAttrBold, c.width);
        break;
      }
      case Control::kStatic:
        put(c.row, c.col, c.text, 0, c.width);
        break;
      case Control::kEdit: {
        std::string shown =
            (c.style & DLG_EDIT_PASSWORD) != 0 ? std::string(c.text.size(), '*') : c.text;
        if (static_cast<int>(shown.size()) >= c.width && c.width > 1)
          shown = shown.substr(shown.size() - static_cast<size_t>(c.width - 1));
        put(c.row, c.col, shown, static_cast<uint8_t>(kAttrUnderline | focused), c.width);
        break;
      }
      case Control::kButton: {
        std::string shown = "[ " + stripAccessMark(c.text) + " ]";
        uint8_t attr =
            static_cast<uint8_t>(((c.style & DLG_BUTTON_DEFAULT) != 0 ? kAttrBold : 0) | focused);
        put(c.row, c.col, shown, attr, static_cast<int>(shown.size()));
        break;
      }
      case Control::kTrackbar: {
        int cells = std::max(1, c.width - 2);
        std::string bar(static_cast<size_t>(cells), '-');
        int span = std::max(1, c.maximum - c.minimum);
        int at =
            static_cast<int>(static_cast<int64_t>(c.position - c.minimum) * (cells - 1) / span);
        bar[static_cast<size_t>(std::clamp(at, 0, cells - 1))] = '#';
        put(c.row, c.col, "[" + bar + "]", focused, c.width);
        break;
      }
    }
  }
}

std::string DLG_Dialog::State::render(const std::string& overlayTitle,
                                      const std::vector<std::string>& overlay,
                                      int overlaySelected) {
  int rows = 0;
  {
    std::lock_guard<std::mutex> hold(lock);
    for (const Control& c : controls) rows = std::max(rows, c.row + 1);
  }
  std::vector<std::vector<Cell>> grid(static_cast<size_t>(rows + 2),
                                      std::vector<Cell>(kScreenWidth));
  {
    std::lock_guard<std::mutex> hold(lock);
    compose(grid);
  }
  const std::string help = "Tab: next  Enter: press  Left/Right: move  Alt-Space: menu  Esc: close";
  for (size_t i = 0; i < help.size() && i < kScreenWidth; ++i) grid.back()[i] = Cell{help[i], 0};

  if (!overlay.empty() || !overlayTitle.empty()) {
    int width = static_cast<int>(overlayTitle.size()) + 6;
    for (const std::string& line : overlay)
      width = std::max(width, static_cast<int>(line.size()) + 4);
    width = std::min(width, kScreenWidth);
    int height = static_cast<int>(overlay.size()) + 2;
    int top = std::max(0, (static_cast<int>(grid.size()) - height) / 2);
    int left = (kScreenWidth - width) / 2;
    for (int r = 0; r < height; ++r) {
      if (top + r >= static_cast<int>(grid.size())) grid.emplace_back(kScreenWidth);
      std::string line;
      if (r == 0 || r == height - 1) {
        line.assign(static_cast<size_t>(width), '-');  // width is at least 6
        line.front() = line.back() = '+';
        if (r == 0 && !overlayTitle.empty())
          line.replace(2, std::min(overlayTitle.size() + 2, static_cast<size_t>(width - 4)),
                       (" " + overlayTitle + " ").substr(0, static_cast<size_t>(width - 4)));
      } else {
        line = "| " + overlay[static_cast<size_t>(r - 1)];
        line.resize(static_cast<size_t>(width - 1), ' ');
        line += "|";
      }
      uint8_t attr = r - 1 == overlaySelected ? kAttrInverse : 0;
      for (int i = 0; i < width; ++i)
        grid[static_cast<size_t>(top + r)][static_cast<size_t>(left + i)] =
            Cell{line[static_cast<size_t>(i)], (i > 0 && i < width - 1) ? attr : uint8_t{0}};
    }
  }

  std::string out = "\x1b[H\x1b[7m" + caption.substr(0, kScreenWidth);
  out +=
      std::string(static_cast<size_t>(
                      kScreenWidth - std::min<int>(kScreenWidth, static_cast<int>(caption.size()))),
                  ' ');
  out += "\x1b[0m\x1b[K\r\n";
  for (const std::vector<Cell>& line : grid) {
    uint8_t attr = 0;
    for (const Cell& cell : line) {
      if (cell.attr != attr) {
        out += "\x1b[0m";
        if (cell.attr & kAttrBold) out += "\x1b[1m";
        if (cell.attr & kAttrUnderline) out += "\x1b[4m";
        if (cell.attr & kAttrInverse) out += "\x1b[7m";
        attr = cell.attr;
      }
      out += cell.ch;
    }
    out += "\x1b[0m\x1b[K\r\n";
  }
  out += "\x1b[J";
  return out;
}

bool DLG_Dialog::State::waitInput(int ms) {
  struct pollfd in = {STDIN_FILENO, POLLIN, 0};
  if (poll(&in, 1, ms) <= 0) return false;
  char chunk[64];
  ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
  if (n <= 0) return false;
  input.append(chunk, static_cast<size_t>(n));
  return true;
}

// Decodes one key from the front of input, which is not empty.
int DLG_Dialog::State::decodeKey() {
  auto take = [this](size_t n, int key) {
    input.erase(0, n);
    return key;
  };
  unsigned char first = static_cast<unsigned char>(input[0]);
  if (first != 27) {
    if (first == '\r' || first == '\n') return take(1, kKeyEnter);
    if (first == 127 || first == 8) return take(1, kKeyBackspace);
    return take(1, first);
  }
  if (input.size() == 1 && !waitInput(kEscapeWaitMs)) return take(1, kKeyEsc);
  if (input.size() < 2) return take(1, kKeyEsc);
  char second = input[1];
  if (second == ' ') return take(2, kKeyAltSpace);
  if (second != '[' && second != 'O') return take(2, kKeyUnknown);
  // A CSI or SS3 sequence: parameters, then a final byte from '@' to '~'.
  size_t end = 2;
  for (;;) {
    while (end < input.size() && (input[end] < '@' || input[end] > '~')) ++end;
    if (end < input.size()) break;
    if (end > 16 || !waitInput(kEscapeWaitMs)) return take(input.size(), kKeyUnknown);
  }
  std::string parameter = input.substr(2, end - 2);
  char final = input[end];
  size_t length = end + 1;
  switch (final) {
    case 'A':
      return take(length, kKeyUp);
    case 'B':
      return take(length, kKeyDown);
    case 'C':
      return take(length, kKeyRight);
    case 'D':
      return take(length, kKeyLeft);
    case 'H':
      return take(length, kKeyHome);
    case 'F':
      return take(length, kKeyEndOfLine);
    case 'Z':
      return take(length, kKeyShiftTab);
    case '~':
      if (parameter == "1" || parameter == "7") return take(length, kKeyHome);
      if (parameter == "4" || parameter == "8") return take(length, kKeyEndOfLine);
      if (parameter == "5") return take(length, kKeyPageUp);
      if (parameter == "6") return take(length, kKeyPageDown);
      return take(length, kKeyUnknown);
    default:
      return take(length, kKeyUnknown);
  }
}

int DLG_Dialog::State::readKey() {
  while (input.empty()) {
    struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return kKeyEnd;
    }
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (read(wakeRead, drain, sizeof drain) > 0) {
      }
      return kKeyWake;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[64];
      ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return kKeyEnd;
      input.append(chunk, static_cast<size_t>(n));
    }
  }
  return decodeKey();
}

DLG_Dialog::DLG_Dialog(const char* caption) : state_(std::make_unique<State>()) {
  state_->caption = caption != nullptr ? caption : "";
}

DLG_Dialog::~DLG_Dialog() = default;

void DLG_Dialog::addGroup(const char* title, int row, int col, int width) {
  Control c;
  c.kind = Control::kGroup;
  c.text = title != nullptr ? title : "";
  c.row = row;
  c.col = col;
  c.width = width;
  state_->controls.push_back(c);
}

void DLG_Dialog::addStatic(int id, const char* text, int row, int col, int width) {
  Control c;
  c.kind = Control::kStatic;
  c.id = id;
  c.text = text != nullptr ? text : "";
  c.row = row;
  c.col = col;
  c.width = width;
  state_->controls.push_back(c);
}

void DLG_Dialog::addEdit(int id, int row, int col, int width, uint32_t style, int maxChars) {
  Control c;
  c.kind = Control::kEdit;
  c.id = id;
  c.row = row;
  c.col = col;
  c.width = width;
  c.style = style;
  c.maxChars = std::max(0, maxChars);
  state_->controls.push_back(c);
}

void DLG_Dialog::addButton(int id, const char* text, int row, int col, uint32_t style) {
  Control c;
  c.kind = Control::kButton;
  c.id = id;
  c.text = text != nullptr ? text : "";
  c.row = row;
  c.col = col;
  c.width = static_cast<int>(stripAccessMark(c.text).size()) + 4;
  c.style = style;
  state_->controls.push_back(c);
}

void DLG_Dialog::addTrackbar(int id, int row, int col, int width) {
  Control c;
  c.kind = Control::kTrackbar;
  c.id = id;
  c.row = row;
  c.col = col;
  c.width = width;
  state_->controls.push_back(c);
}

void DLG_Dialog::appendSystemMenu(int id, const char* text) {
  state_->menu.push_back(MenuItem{id, text != nullptr ? stripAccessMark(text) : ""});
}

int DLG_Dialog::setDlgItemText(int id, const char* text) {
  std::lock_guard<std::mutex> hold(state_->lock);
  Control* c = state_->find(id);
  if (c == nullptr || c->kind == Control::kGroup || c->kind == Control::kTrackbar) return -1;
  c->text = text != nullptr ? text : "";
  if (c->kind == Control::kEdit && static_cast<int>(c->text.size()) > c->maxChars)
    c->text.resize(static_cast<size_t>(c->maxChars));
  state_->wake();
  return 0;
}

int DLG_Dialog::setDlgItemInt(int id, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%u", value);
  return setDlgItemText(id, text);
}

int DLG_Dialog::getDlgItemText(int id, char* text, int size) {
  if (text == nullptr || size < 1) return -1;
  std::lock_guard<std::mutex> hold(state_->lock);
  Control* c = state_->find(id);
  if (c == nullptr) {
    text[0] = '\0';
    return -1;
  }
  size_t n = std::min(c->text.size(), static_cast<size_t>(size - 1));
  memcpy(text, c->text.data(), n);
  text[n] = '\0';
  return static_cast<int>(n);
}

int DLG_Dialog::setTrackbarRange(int id, int minimum, int maximum) {
  std::lock_guard<std::mutex> hold(state_->lock);
  Control* c = state_->find(id);
  if (c == nullptr || c->kind != Control::kTrackbar || maximum < minimum) return -1;
  c->minimum = minimum;
  c->maximum = maximum;
  c->position = std::clamp(c->position, minimum, maximum);
  state_->wake();
  return 0;
}

int DLG_Dialog::setTrackbarPos(int id, int position) {
  std::lock_guard<std::mutex> hold(state_->lock);
  Control* c = state_->find(id);
  if (c == nullptr || c->kind != Control::kTrackbar) return -1;
  c->position = std::clamp(position, c->minimum, c->maximum);
  state_->wake();
  return 0;
}

int DLG_Dialog::getTrackbarPos(int id) {
  std::lock_guard<std::mutex> hold(state_->lock);
  Control* c = state_->find(id);
  if (c == nullptr || c->kind != Control::kTrackbar) return -1;
  return c->position;
}

void DLG_Dialog::endDialog(int result) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->ended = true;
  state_->result = result;
  state_->wake();
}

namespace {

std::vector<std::string> boxLines(const std::string& text, DLG_Icon icon) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  for (std::string& l : lines)
    if (l.size() > kScreenWidth - 8) l.resize(kScreenWidth - 8);
  if (icon == DLG_ICON_WARNING || icon == DLG_ICON_ERROR) lines.front().insert(0, "(!) ");
  lines.push_back("");
  lines.push_back("[ OK ]");
  return lines;
}

}  // namespace

int DLG_Dialog::messageBox(const char* text, const char* caption, DLG_Icon icon) {
  State& s = *state_;
  std::string body = text != nullptr ? text : "";
  std::string title = caption != nullptr ? caption : "";
  std::unique_lock<std::mutex> hold(s.lock);
  if (!s.looping) {
    hold.unlock();
    fprintf(stderr, "%s: %s\n", title.c_str(), body.c_str());
    return 0;
  }
  if (std::this_thread::get_id() == s.loopThread) {
    hold.unlock();
    std::vector<std::string> lines = boxLines(body, icon);
    for (;;) {
      writeAll(STDOUT_FILENO, s.render(title, lines, static_cast<int>(lines.size()) - 1));
      int key = s.readKey();
      if (key == kKeyWake) continue;
      if (key == kKeyEnter || key == kKeyEsc || key == ' ' || key == kKeyCtrlC || key == kKeyEnd)
        break;
    }
    return 0;
  }
  Pending mine{body, title, icon};
  s.pending.push_back(&mine);
  s.wake();
  s.dismissed.wait(hold, [&] { return mine.done; });
  return 0;
}

int DLG_Dialog::doModal() {
  State& s = *state_;
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) return -1;
  struct termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return -1;
  for (int end : pipeEnds) fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
  struct termios raw = saved;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | INPCK | ISTRIP);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
  writeAll(STDOUT_FILENO, "\x1b[?1049h\x1b[?25l\x1b[2J");
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.wakeRead = pipeEnds[0];
    s.wakeWrite = pipeEnds[1];
    s.looping = true;
    s.ended = false;
    s.result = DLG_IDCANCEL;
    s.loopThread = std::this_thread::get_id();
  }

  onInitDialog();
  auto moveFocus = [&s](int step) {
    int n = static_cast<int>(s.controls.size());
    for (int i = 1; i <= n; ++i) {
      int at = ((s.focus < 0 ? (step > 0 ? -1 : 0) : s.focus) + step * i % n + n) % n;
      if (s.controls[static_cast<size_t>(at)].focusable()) {
        s.focus = at;
        return;
      }
    }
  };
  moveFocus(1);

  for (;;) {
    Pending* shown = nullptr;
    {
      std::lock_guard<std::mutex> hold(s.lock);
      if (s.ended) break;
      if (!s.pending.empty()) {
        shown = s.pending.front();
        s.pending.pop_front();
      }
    }
    if (shown != nullptr) {
      // Shown as if the loop's own thread had asked: its key wait keeps redrawing.
      std::vector<std::string> lines = boxLines(shown->text, shown->icon);
      for (;;) {
        writeAll(STDOUT_FILENO,
                 s.render(shown->caption, lines, static_cast<int>(lines.size()) - 1));
        int key = s.readKey();
        if (key == kKeyWake) continue;
        if (key == kKeyEnter || key == kKeyEsc || key == ' ' || key == kKeyCtrlC || key == kKeyEnd)
          break;
      }
      std::lock_guard<std::mutex> hold(s.lock);
      shown->done = true;
      s.dismissed.notify_all();
      continue;
    }

    writeAll(STDOUT_FILENO, s.render("", {}, -1));
    int key = s.readKey();
    if (key == kKeyWake || key == kKeyUnknown) continue;
    if (key == kKeyEnd || key == kKeyEsc || key == kKeyCtrlC) {
      endDialog(DLG_IDCANCEL);
      continue;
    }
    if (key == kKeyTab || key == kKeyDown) {
      moveFocus(1);
      continue;
    }
    if (key == kKeyShiftTab || key == kKeyUp) {
      moveFocus(-1);
      continue;
    }
    if (key == kKeyAltSpace) {
      if (s.menu.empty()) continue;
      std::vector<std::string> items;
      for (const MenuItem& item : s.menu)
        items.push_back(item.text.empty() ? std::string(20, '-') : item.text);
      int selected = 0;
      while (selected < static_cast<int>(items.size()) &&
             s.menu[static_cast<size_t>(selected)].text.empty())
        ++selected;
      int chosen = -1;
      for (;;) {
        writeAll(STDOUT_FILENO, s.render("", items, selected));
        int k = s.readKey();
        if (k == kKeyEnter) {
          chosen = selected;
          break;
        }
        if (k == kKeyEsc || k == kKeyCtrlC || k == kKeyEnd) break;
        int step = k == kKeyDown ? 1 : k == kKeyUp ? -1 : 0;
        for (int i = 0, n = static_cast<int>(items.size()); step != 0 && i < n; ++i) {
          selected = (selected + step + n) % n;
          if (!s.menu[static_cast<size_t>(selected)].text.empty()) break;
        }
      }
      if (chosen >= 0 && chosen < static_cast<int>(s.menu.size()) &&
          !s.menu[static_cast<size_t>(chosen)].text.empty())
        onSysCommand(s.menu[static_cast<size_t>(chosen)].id);
      continue;
    }
    if (s.focus < 0) continue;
    Control& focused = s.controls[static_cast<size_t>(s.focus)];
    if (focused.kind == Control::kButton && (key == kKeyEnter || key == ' ')) {
      onCommand(focused.id);
      continue;
    }
    if (key == kKeyEnter) {
      for (const Control& c : s.controls)
        if (c.kind == Control::kButton && (c.style & DLG_BUTTON_DEFAULT) != 0) {
          onCommand(c.id);
          break;
        }
      continue;
    }
    if (focused.kind == Control::kEdit) {
      std::lock_guard<std::mutex> hold(s.lock);
      if (key == kKeyBackspace && !focused.text.empty()) focused.text.pop_back();
      if (key >= 0x20 && key < 0x7f && static_cast<int>(focused.text.size()) < focused.maxChars)
        focused.text += static_cast<char>(key);
      continue;
    }
    if (focused.kind == Control::kTrackbar) {
      bool moved = false;
      {
        std::lock_guard<std::mutex> hold(s.lock);
        int page = std::max(1, (focused.maximum - focused.minimum) / 10);
        int to = focused.position;
        if (key == kKeyLeft) to -= 1;
        if (key == kKeyRight) to += 1;
        if (key == kKeyPageUp) to -= page;
        if (key == kKeyPageDown) to += page;
        if (key == kKeyHome) to = focused.minimum;
        if (key == kKeyEndOfLine) to = focused.maximum;
        to = std::clamp(to, focused.minimum, focused.maximum);
        moved = to != focused.position;
        focused.position = to;
      }
      if (moved) onTrackbarReleased(focused.id);
    }
  }

  int result;
  {
    // Other threads' boxes are let go: nobody will dismiss them now.
    std::lock_guard<std::mutex> hold(s.lock);
    s.looping = false;
    for (Pending* p : s.pending) p->done = true;
    s.pending.clear();
    s.dismissed.notify_all();
    close(s.wakeRead);
    close(s.wakeWrite);
    s.wakeRead = s.wakeWrite = -1;
    result = s.result;
  }
  writeAll(STDOUT_FILENO, "\x1b[0m\x1b[?25h\x1b[?1049l");
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  onDestroy();
  return result;
}
