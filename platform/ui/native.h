// What each build's native side provides to the shared form model (platform/ui/form.cpp).
#pragma once

#include "platform/ui/ui.h"

namespace ui::native {

std::unique_ptr<Native> create(Control& control);
std::unique_ptr<Native> create(Form& form);
// Registers the form's window for arrival and removal of devices of one interface class; null on failure.
void* registerNotification(Form& form, const GUID& interfaceClass);
void unregisterNotification(void* handle);
void startTimer(Form& form, unsigned intervalMs);
// Runs the GUI thread's messages until the form is closed.
void runUntilClosed(Form& form);
// The form is gone (closed or destroyed): its timers stop and its pending messages are dropped.
void forget(Form& form);

}  // namespace ui::native
