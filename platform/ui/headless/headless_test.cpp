#include "platform/ui/headless/headless.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class Recorder : public ui::FormEvents {
 public:
  void onClick(ui::Control& c) override { log.push_back("click " + c.name()); }
  void onTimer() override { log.push_back("timer " + std::to_string(ui::now())); }
  bool onMessage(UINT message, WPARAM wParam, LPARAM) override {
    log.push_back("message " + std::to_string(message) + " " + std::to_string(wParam) + " at " +
                  std::to_string(ui::now()));
    return true;
  }
  std::vector<std::string> log;
};

using Log = std::vector<std::string>;

TEST(Headless, WorkerWaitsRunOnTheVirtualClockInTheirOrder) {
  ui::headless::Session session;
  Recorder events;
  ui::Form form("Form", 100, 100, events);
  ui::Thread a, b;
  a.start([&] {
    ui::sleep(3000);
    ui::post(form, 0x400, 1, 0);
    ui::sleep(3000);
    ui::post(form, 0x400, 3, 0);
  });
  b.start([&] {
    ui::sleep(4000);
    ui::post(form, 0x400, 2, 0);
  });
  ASSERT_TRUE(ui::headless::runUntil([&] { return events.log.size() == 3; }, 10000));
  EXPECT_EQ(events.log, (Log{"message 1024 1 at 3000", "message 1024 2 at 4000", "message 1024 3 at 6000"}));
  a.join();
  b.join();
}

TEST(Headless, SynchronizeRunsOnTheGuiThreadWhileTheWorkerWaits) {
  ui::headless::Session session;
  std::thread::id gui = std::this_thread::get_id(), ranOn;
  bool after = false;
  ui::Thread worker;
  worker.start([&] {
    ui::synchronize([&] { ranOn = std::this_thread::get_id(); });
    after = true;
  });
  worker.join();
  EXPECT_EQ(ranOn, gui);
  EXPECT_TRUE(after);
  EXPECT_EQ(ui::now(), 0u) << "no time passes";
}

TEST(Headless, TimersTickAndHiddenOrDisabledControlsTakeNoClick) {
  ui::headless::Session session;
  Recorder events;
  ui::Form form("Form", 100, 100, events);
  ui::Control& button = form.add(ui::Kind::Button, "b", {0, 0, 10, 10});
  form.startTimer(500);
  ui::headless::runFor(1200);
  EXPECT_EQ(events.log, (Log{"timer 500", "timer 1000"}));
  EXPECT_EQ(ui::headless::clock(), 1200u);
  events.log.clear();
  ui::headless::click(button);
  button.setEnabled(false);
  ui::headless::click(button);
  button.setEnabled(true);
  button.setVisible(false);
  ui::headless::click(button);
  EXPECT_EQ(events.log, (Log{"click b"}));
}

TEST(Headless, CheckingARadioButtonUnchecksItsSiblingsAndRunsTheHandlerOnce) {
  ui::headless::Session session;
  Recorder events;
  ui::Form form("Form", 100, 100, events);
  ui::Control& box = form.add(ui::Kind::GroupBox, "box", {0, 0, 50, 50});
  ui::Control& r0 = form.add(ui::Kind::RadioButton, "r0", {0, 0, 10, 10}, &box);
  ui::Control& r1 = form.add(ui::Kind::RadioButton, "r1", {0, 20, 10, 10}, &box);
  r0.setChecked(true);
  r0.setChecked(true);
  ui::headless::click(r1);
  EXPECT_FALSE(r0.checked());
  EXPECT_TRUE(r1.checked());
  EXPECT_EQ(events.log, (Log{"click r0", "click r1"}));
}

TEST(Headless, ModalFormsRunTheirScriptAndProgressStaysWithinAHundred) {
  ui::headless::Session session;
  Recorder events;
  ui::Form owner("Owner", 100, 100, events);
  ui::Form dialog("Dialog", 50, 50, events, &owner);
  ui::Control& bar = owner.add(ui::Kind::ProgressBar, "p", {0, 0, 10, 10});
  ui::headless::onModal([](ui::Form& f) { f.close(); });
  dialog.showModal();
  EXPECT_TRUE(dialog.closed());
  EXPECT_EQ(ui::headless::modalForms(), (Log{"Dialog"}));
  bar.setPosition(125);
  EXPECT_EQ(bar.position(), 100);
  bar.setPosition(-5);
  EXPECT_EQ(bar.position(), 0);
}

}  // namespace
