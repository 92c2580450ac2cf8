// The state of forms and controls, the same in both builds; the native side follows every change.
#include <algorithm>

#include "platform/ui/native.h"

namespace ui {

Control::Control(Form& form, Kind kind, std::string name, Rect bounds, Control* parent, int id)
    : form_(form), kind_(kind), name_(std::move(name)), id_(id), parent_(parent), bounds_(bounds) {
  if (kind_ == Kind::ProgressBar) enabled_ = true;
}

Control::~Control() = default;

void Control::changed() {
  if (native_) native_->update();
}

void Control::setParent(Control* parent) {
  parent_ = parent;
  changed();
}
void Control::setCaption(const std::string& text) {
  caption_ = text;
  changed();
}
void Control::setVisible(bool visible) {
  visible_ = visible;
  changed();
}
void Control::setEnabled(bool enabled) {
  enabled_ = enabled;
  changed();
}
void Control::setColor(Color color) {
  color_ = color;
  changed();
}
void Control::setBounds(Rect bounds) {
  bounds_ = bounds;
  changed();
}
void Control::setDefaultCharset() {
  defaultCharset_ = true;
  changed();
}
void Control::setBold(bool bold) {
  bold_ = bold;
  changed();
}

void Control::setChecked(bool checked) {
  bool wasChecked = checked_;
  checked_ = checked;
  if (checked && kind_ == Kind::RadioButton) {
    for (const auto& other : form_.controls())
      if (other.get() != this && other->kind_ == Kind::RadioButton && other->parent_ == parent_ && other->checked_) {
        other->checked_ = false;
        other->changed();
      }
  }
  changed();
  if (checked && !wasChecked && kind_ == Kind::RadioButton) form_.events().onClick(*this);
}

void Control::setPosition(int position) {
  position_ = std::clamp(position, 0, 100);
  changed();
}
void Control::setAnimating(bool animating) {
  animating_ = animating;
  changed();
}
void Control::setPanels(const std::vector<int>& widths) {
  panelWidths_ = widths;
  panelTexts_.assign(widths.size(), std::string());
  changed();
}
void Control::setPanelText(int panel, const std::string& text) {
  panelTexts_.at(panel) = text;
  changed();
}
Rect Control::panelRect(int panel) const {
  int left = 0;
  for (int i = 0; i < panel; ++i) left += panelWidths_.at(i);
  return {left, 2, panelWidths_.at(panel), bounds_.height - 2};
}

Form::Form(const std::string& name, int clientWidth, int clientHeight, FormEvents& events, Form* owner)
    : name_(name), events_(events), owner_(owner), clientWidth_(clientWidth), clientHeight_(clientHeight) {
  native_ = native::create(*this);
}

Form::~Form() {
  unregisterDeviceNotification();
  native::forget(*this);
  controls_.clear();
  native_.reset();
}

void Form::changed() {
  if (native_) native_->update();
}

Control& Form::add(Kind kind, const std::string& name, Rect bounds, Control* parent) {
  int id = 100 + static_cast<int>(controls_.size());
  controls_.push_back(std::make_unique<Control>(*this, kind, name, bounds, parent, id));
  Control& control = *controls_.back();
  control.attach(native::create(control));
  return control;
}

Control* Form::find(const std::string& name) const {
  for (const auto& control : controls_)
    if (control->name() == name) return control.get();
  return nullptr;
}

void Form::setCaption(const std::string& text) {
  caption_ = text;
  changed();
}
void Form::setClientHeight(int height) {
  clientHeight_ = height;
  changed();
}
// A dialog frame: a border of 3 pixels on each side.
int Form::width() const { return clientWidth_ + 6; }
void Form::setDefaultCharset() {
  defaultCharset_ = true;
  changed();
}
void Form::show() {
  shown_ = true;
  changed();
}
void Form::setTopmost(bool topmost) {
  topmost_ = topmost;
  changed();
}
void Form::setBusyCursor(bool busy) {
  busyCursor_ = busy;
  changed();
}
void Form::startTimer(unsigned intervalMs) {
  timerMs_ = intervalMs;
  native::startTimer(*this, intervalMs);
}
bool Form::registerDeviceInterfaceNotification(const GUID& interfaceClass) {
  notification_ = native::registerNotification(*this, interfaceClass);
  return notification_ != nullptr;
}
void Form::unregisterDeviceNotification() {
  if (notification_) native::unregisterNotification(notification_);
  notification_ = nullptr;
}
void Form::close() {
  if (closed_) return;
  closed_ = true;
  changed();
  native::forget(*this);
}
void Form::showModal() {
  shown_ = true;
  changed();
  native::runUntilClosed(*this);
}

void Form::dispatchClick(Control& control) {
  if (!control.visible() || !control.enabled()) return;
  if (control.kind() == Kind::RadioButton) {
    if (!control.checked()) control.setChecked(true);  // runs the handler
    return;
  }
  events_.onClick(control);
}

}  // namespace ui
