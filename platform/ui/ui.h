// The installer's user interface: its own windows and controls, the message loop, timers, worker threads with a
// synchronise-with-GUI call, and the clock its waits run on.
//
// A form is a controller over a window: the controller sets and reads the state of the window's controls through
// Control and Form, and receives the window's events through FormEvents. The state lives in these objects in
// both builds; each build has one implementation of the native side (platform/ui/<build>/):
//   win32/     real windows and common controls, the system's message loop, Sleep and the tick count;
//   headless/  no window at all: a deterministic message loop over a virtual clock that tests drive
//              (platform/ui/headless/headless.h: click, key press, timer ticks, messages, running for a time).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/seam/winapi.h"

namespace ui {

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int right() const { return left + width; }
  int bottom() const { return top + height; }
  bool operator==(const Rect&) const = default;
};

// Colours as the system's COLORREF (0x00BBGGRR).
using Color = uint32_t;
constexpr Color kBlack = 0x000000;
constexpr Color kRed = 0x0000FF;

enum class Kind { GroupBox, RadioButton, Button, Label, StatusBar, ProgressBar, Animation };

class Form;
class Control;

// The native side of a control or form: one implementation per build.
class Native {
 public:
  virtual ~Native() = default;
  // The control's or form's state changed; the native window is brought up to date.
  virtual void update() = 0;
  virtual HWND handle() const = 0;
};

// One control of a form. Created by Form::add; the form owns it.
class Control {
 public:
  Control(Form& form, Kind kind, std::string name, Rect bounds, Control* parent, int id);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  Form& form() const { return form_; }
  Kind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  int id() const { return id_; }
  Control* parent() const { return parent_; }
  // Moves the control into another parent (the progress bar goes into the status bar).
  void setParent(Control* parent);

  const std::string& caption() const { return caption_; }
  void setCaption(const std::string& text);
  bool visible() const { return visible_; }
  void setVisible(bool visible);
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled);
  Color color() const { return color_; }
  void setColor(Color color);
  Rect bounds() const { return bounds_; }
  void setBounds(Rect bounds);
  void setLeft(int left) { setBounds({left, bounds_.top, bounds_.width, bounds_.height}); }
  void setTop(int top) { setBounds({bounds_.left, top, bounds_.width, bounds_.height}); }
  void setWidth(int width) { setBounds({bounds_.left, bounds_.top, width, bounds_.height}); }
  void setHeight(int height) { setBounds({bounds_.left, bounds_.top, bounds_.width, height}); }
  // The system's default font character set instead of the design font's.
  bool defaultCharset() const { return defaultCharset_; }
  void setDefaultCharset();
  bool bold() const { return bold_; }
  void setBold(bool bold);

  // Radio buttons: checking one unchecks the other radio buttons of the same parent; a change from unchecked to
  // checked runs the form's click handler for it, as a click would.
  bool checked() const { return checked_; }
  void setChecked(bool checked);
  // What the program ties to the control (a radio button's product section).
  void* tag() const { return tag_; }
  void setTag(void* tag) { tag_ = tag; }

  // Progress bar, 0 to 100.
  int position() const { return position_; }
  void setPosition(int position);
  // Busy animation.
  bool animating() const { return animating_; }
  void setAnimating(bool animating);
  // Status bar panels: widths at creation, texts later.
  void setPanels(const std::vector<int>& widths);
  int panelCount() const { return static_cast<int>(panelWidths_.size()); }
  int panelWidth(int panel) const { return panelWidths_.at(panel); }
  const std::string& panelText(int panel) const { return panelTexts_.at(panel); }
  void setPanelText(int panel, const std::string& text);
  // The rectangle of a panel in the status bar's client coordinates.
  Rect panelRect(int panel) const;

  HWND handle() const { return native_ ? native_->handle() : nullptr; }
  Native* native() const { return native_.get(); }
  void attach(std::unique_ptr<Native> native) { native_ = std::move(native); }

 private:
  void changed();

  Form& form_;
  Kind kind_;
  std::string name_;
  int id_;
  Control* parent_;
  std::string caption_;
  bool visible_ = true;
  bool enabled_ = true;
  Color color_ = kBlack;
  Rect bounds_;
  bool defaultCharset_ = false;
  bool bold_ = false;
  bool checked_ = false;
  void* tag_ = nullptr;
  int position_ = 0;
  bool animating_ = false;
  std::vector<int> panelWidths_;
  std::vector<std::string> panelTexts_;
  std::unique_ptr<Native> native_;
};

// What a form's controller is told. Every call comes on the GUI thread.
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  virtual void onClick(Control& /*control*/) {}
  // A key press, seen by the form before its controls (key preview).
  virtual void onKeyDown(WORD /*key*/, bool /*ctrl*/, bool /*shift*/) {}
  virtual void onTimer() {}
  // Messages the form handles itself (WM_DEVICECHANGE, the installer's own messages); true when handled.
  virtual bool onMessage(UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) { return false; }
  // Owner-drawn status-bar panel.
  virtual void onDrawPanel(Control& /*statusBar*/, int /*panel*/, Rect /*rect*/) {}
  // The user closes the form by its title bar.
  virtual void onCloseRequest() {}
};

// A top-level window: the main window or a dialog.
class Form {
 public:
  // client: the design client size; owner: the window a dialog is centred on (null: centred on the screen).
  Form(const std::string& name, int clientWidth, int clientHeight, FormEvents& events, Form* owner = nullptr);
  ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  // Adds a control; the form owns it. parent null: a control of the form itself.
  Control& add(Kind kind, const std::string& name, Rect bounds, Control* parent = nullptr);
  Control* find(const std::string& name) const;
  const std::vector<std::unique_ptr<Control>>& controls() const { return controls_; }

  const std::string& name() const { return name_; }
  FormEvents& events() const { return events_; }
  Form* owner() const { return owner_; }
  const std::string& caption() const { return caption_; }
  void setCaption(const std::string& text);
  int clientWidth() const { return clientWidth_; }
  int clientHeight() const { return clientHeight_; }
  void setClientHeight(int height);
  // The outer width, frame included.
  int width() const;
  bool defaultCharset() const { return defaultCharset_; }
  void setDefaultCharset();

  // Whether the window is shown (false until show; the unattended installer never shows it).
  bool shown() const { return shown_; }
  void show();
  bool topmost() const { return topmost_; }
  void setTopmost(bool topmost);
  bool busyCursor() const { return busyCursor_; }
  void setBusyCursor(bool busy);

  // The form's timer: every interval ms onTimer runs on the GUI thread.
  void startTimer(unsigned intervalMs);
  unsigned timerInterval() const { return timerMs_; }

  // Device-interface arrival and removal for one interface class; false when registration failed.
  bool registerDeviceInterfaceNotification(const GUID& interfaceClass);
  void unregisterDeviceNotification();
  bool deviceNotificationRegistered() const { return notification_ != nullptr; }

  // Closes the window: a modal loop returns, the main loop ends.
  void close();
  bool closed() const { return closed_; }
  // Shows the form modally over its owner and runs the messages until it is closed.
  void showModal();

  HWND handle() const { return native_ ? native_->handle() : nullptr; }
  Native* native() const { return native_.get(); }
  void attach(std::unique_ptr<Native> native) { native_ = std::move(native); }
  void* notificationHandle() const { return notification_; }
  void setNotificationHandle(void* handle) { notification_ = handle; }

  // Runs the form's handlers as the native side reports events.
  void dispatchClick(Control& control);
  void dispatchKey(WORD key, bool ctrl, bool shift) { events_.onKeyDown(key, ctrl, shift); }
  void dispatchTimer() { events_.onTimer(); }
  bool dispatchMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return events_.onMessage(message, wParam, lParam);
  }
  void dispatchDrawPanel(Control& statusBar, int panel, Rect rect) { events_.onDrawPanel(statusBar, panel, rect); }

 private:
  void changed();

  std::string name_;
  FormEvents& events_;
  Form* owner_;
  std::string caption_;
  int clientWidth_;
  int clientHeight_;
  bool defaultCharset_ = false;
  bool shown_ = false;
  bool topmost_ = false;
  bool busyCursor_ = false;
  bool closed_ = false;
  unsigned timerMs_ = 0;
  void* notification_ = nullptr;
  std::vector<std::unique_ptr<Control>> controls_;
  std::unique_ptr<Native> native_;
};

// The GUI thread's message loop and the services around it. Posting and synchronising work from any thread.
void post(Form& form, UINT message, WPARAM wParam, LPARAM lParam);
// Runs fn on the GUI thread and returns when it has run. On the GUI thread itself fn runs at once.
void synchronize(const std::function<void()>& fn);
// Runs the messages of the GUI thread until the form is closed.
void run(Form& form);
// Dispatches the calling thread's pending messages and returns.
void processMessages();

// Waits; the sequences' pauses, on the system's clock or the stand-in's virtual one.
void sleep(unsigned ms);
// Milliseconds since an arbitrary start, on the same clock as sleep.
uint64_t now();

// A thread of the installer (worker threads, the wizard watcher). join waits for the body to return.
class Thread {
 public:
  Thread();
  ~Thread();  // joins
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void start(std::function<void()> body);
  void join();
  bool started() const;
  bool finished() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace ui
