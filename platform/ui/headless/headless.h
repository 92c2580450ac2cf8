// The headless user interface of the host build: no window is drawn; the GUI thread is the test's own thread,
// and its message loop runs only while the test lets it. Every wait of every installer thread (ui::sleep) runs on
// one virtual clock that moves only when all of them are waiting, so runs are deterministic and need no real time.
//
// A test opens a Session, builds the program's forms, and drives them:
//   click(control), pressKey(form, 'S', ctrl, shift), send(form, message, ...), runFor(ms), runUntil(...).
// Modal forms run the script given to onModal (closed at once when there is none).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui/ui.h"

namespace ui::headless {

// A fresh user interface for one test: the clock at 0, no messages, no timers, the calling thread as GUI thread.
// Every thread started under it must have ended when it closes.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

// The user's actions (on the GUI thread): each runs the form's handler at once, as the window would.
void click(Control& control);  // a hidden or disabled control takes no click
void pressKey(Form& form, WORD key, bool ctrl, bool shift);
// A message sent to the form (WM_DEVICECHANGE and the like); handled at once.
bool send(Form& form, UINT message, WPARAM wParam, LPARAM lParam);
// The user closes a form by its title bar.
void closeByTitleBar(Form& form);

// Runs the GUI thread's messages and timers while the clock moves on by ms.
void runFor(unsigned ms);
// Runs them until done() holds (checked between messages) or the clock has moved on by limitMs; true when done.
bool runUntil(const std::function<bool()>& done, unsigned limitMs);
// Runs the messages already posted, without moving the clock.
void runPending();

// The virtual clock, in ms since the session began.
uint64_t clock();

// What a modal form does when it is shown: the script runs on the GUI thread with the form and is expected to click
// or close. Scripts are used in order; without one the form is closed at once.
void onModal(const std::function<void(Form&)>& script);
// The forms shown modally so far, by name, in order.
const std::vector<std::string>& modalForms();

}  // namespace ui::headless
