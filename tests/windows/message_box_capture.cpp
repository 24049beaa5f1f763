#include "message_box_capture.h"

#include "module_spy.h"

namespace {

// The box's text is the one static control that holds text (the other one,
// if any, is the icon).
BOOL CALLBACK find_text_control(HWND child, LPARAM found) {
  char class_name[16] = {};
  GetClassNameA(child, class_name, sizeof class_name);

  if (lstrcmpiA(class_name, "Static") == 0 && GetWindowTextLengthA(child) > 0) {
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
  }
  return TRUE;
}

std::vector<CapturedBox> captured;
std::vector<HWND> open_boxes;  // parallel to the tail of `captured`
std::vector<size_t> open_indexes;

bool is_dialog(HWND window) {
  char class_name[16] = {};
  GetClassNameA(window, class_name, sizeof class_name);
  return lstrcmpA(class_name, "#32770") == 0;
}

std::string read_text(HWND window) {
  std::string text(4096, '\0');
  int n = GetWindowTextA(window, &text[0], static_cast<int>(text.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

std::string box_text(HWND box) {
  HWND control = nullptr;
  EnumChildWindows(box, find_text_control, reinterpret_cast<LPARAM>(&control));
  return control != nullptr ? read_text(control) : std::string();
}

constexpr UINT_PTR read_timer = 0x5142;

// Runs from the box's own message loop once it has nothing else to do, so
// the box is fully set up: read it, then press OK.
void CALLBACK read_and_close(HWND window, UINT, UINT_PTR, DWORD) {
  KillTimer(window, read_timer);
  for (size_t i = 0; i < open_boxes.size(); ++i) {
    if (open_boxes[i] != window) continue;
    CapturedBox& box = captured[open_indexes[i]];
    box.caption = read_text(window);
    box.text = box_text(window);
    box.extended_style = GetWindowLongA(window, GWL_EXSTYLE);
    spy::record("box shown", box.text);
  }
  PostMessageA(window, WM_COMMAND, IDOK, 0);
}

LRESULT CALLBACK on_cbt(int code, WPARAM wparam, LPARAM lparam) {
  HWND window = reinterpret_cast<HWND>(wparam);
  if (code == HCBT_ACTIVATE && is_dialog(window)) {
    bool seen = false;
    for (HWND open : open_boxes) seen = seen || open == window;
    if (!seen) {
      // The box is still being filled in when it is activated.
      captured.push_back(CapturedBox{});
      open_boxes.push_back(window);
      open_indexes.push_back(captured.size() - 1);
      SetTimer(window, read_timer, 10, read_and_close);
    }
  } else if (code == HCBT_DESTROYWND) {
    for (size_t i = 0; i < open_boxes.size(); ++i) {
      if (open_boxes[i] != window) continue;
      captured[open_indexes[i]].closed = true;
      open_boxes.erase(open_boxes.begin() + static_cast<long>(i));
      open_indexes.erase(open_indexes.begin() + static_cast<long>(i));
      spy::record("box destroyed");
      break;
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
