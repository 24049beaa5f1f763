#include "message_box_capture.h"

#include "module_spy.h"

namespace {

// The static control that holds a message box's text.
constexpr int box_text_control = 0xFFFF;

std::vector<CapturedBox> captured;
std::vector<HWND> open_boxes;  // parallel to the tail of `captured`
std::vector<size_t> open_indexes;

bool is_dialog(HWND window) {
  char class_name[16] = {};
  GetClassNameA(window, class_name, sizeof class_name);
  return lstrcmpA(class_name, "#32770") == 0;
}

std::string read_text(HWND window, int control) {
  std::string text(4096, '\0');
  int n = control == 0 ? GetWindowTextA(window, &text[0], static_cast<int>(text.size()))
                       : GetDlgItemTextA(window, control, &text[0],
                                         static_cast<int>(text.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam) {
  HWND window = reinterpret_cast<HWND>(wparam);
  if (code == HCBT_ACTIVATE && is_dialog(window)) {
    bool seen = false;
    for (HWND open : open_boxes) seen = seen || open == window;
    if (!seen) {
      CapturedBox box;
      box.caption = read_text(window, 0);
      box.text = read_text(window, box_text_control);
      box.extended_style = GetWindowLongA(window, GWL_EXSTYLE);
      captured.push_back(box);
      open_boxes.push_back(window);
      open_indexes.push_back(captured.size() - 1);
      spy::record("box shown", box.text);
      PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
  } else if (code == HCBT_DESTROYWND) {
    for (size_t i = 0; i < open_boxes.size(); ++i) {
      if (open_boxes[i] == window) {
        captured[open_indexes[i]].closed = true;
        open_boxes.erase(open_boxes.begin() + static_cast<long>(i));
        open_indexes.erase(open_indexes.begin() + static_cast<long>(i));
        spy::record("box destroyed");
        break;
      }
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

MessageBoxCapture::MessageBoxCapture() {
  captured.clear();
  open_boxes.clear();
  open_indexes.clear();
  hook_ = SetWindowsHookExA(WH_CBT, on_cbt, nullptr, GetCurrentThreadId());
}

MessageBoxCapture::~MessageBoxCapture() {
  if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
}

const std::vector<CapturedBox>& MessageBoxCapture::boxes() const { return captured; }
