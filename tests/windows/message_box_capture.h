// Catches the message boxes that this thread opens: a WH_CBT hook reads each
// box's caption, text and extended style when it is activated, notes it in
// the spy's timeline, and then presses its OK button.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct CapturedBox {
  std::string caption;
  std::string text;
  LONG extended_style = 0;
  bool closed = false;
};

class MessageBoxCapture {
 public:
  MessageBoxCapture();
  ~MessageBoxCapture();
  MessageBoxCapture(const MessageBoxCapture&) = delete;
  MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

  bool active() const { return hook_ != nullptr; }
  const std::vector<CapturedBox>& boxes() const;

 private:
  HHOOK hook_ = nullptr;
};
