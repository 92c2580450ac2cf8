// The headless native side: forms without windows, a message loop the test runs, threads whose waits run on a
// virtual clock.
//
// The clock moves only when every thread of the session waits (none is runnable): it then jumps to the earliest
// time one of them waits for. A thread counts as runnable from the moment another thread wakes it, so the clock
// never moves while a woken thread has not yet run.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <thread>

#include "platform/ui/headless/headless.h"
#include "platform/ui/headless/scheduler.h"
#include "platform/ui/native.h"

namespace ui {
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

struct Waiter {
  uint64_t wakeAt;
  const std::function<bool()>* stop;
  bool woken = false;
};

struct Item {
  Form* form = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  const std::function<void()>* fn = nullptr;
  bool* done = nullptr;
};

struct Timer {
  Form* form;
  unsigned interval;
  uint64_t due;
};

struct Scheduler {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t now = 0;
  int runnable = 1;  // the GUI thread
  std::list<Waiter*> waiters;
  std::deque<Item> queue;
  std::vector<Timer> timers;
  std::thread::id gui = std::this_thread::get_id();
  std::deque<std::function<void(Form&)>> modalScripts;
  std::vector<std::string> modalForms;
  int liveThreads = 0;

  // Under the lock: wakes every waiter whose time has come or whose condition holds.
  void reevaluate() {
    bool any = false;
    for (Waiter* w : waiters) {
      if (w->woken) continue;
      if (w->wakeAt <= now || (w->stop && (*w->stop)())) {
        w->woken = true;
        ++runnable;
        any = true;
      }
    }
    if (any) cv.notify_all();
  }

  // Under the lock: when no thread can run, moves the clock to the earliest wake-up.
  void advanceIfIdle() {
    if (runnable > 0) return;
    uint64_t next = kNever;
    for (Waiter* w : waiters)
      if (!w->woken && w->wakeAt < next) next = w->wakeAt;
    if (next == kNever) {
      std::fprintf(stderr, "headless user interface: every thread waits for ever\n");
      std::abort();
    }
    if (next > now) now = next;
    reevaluate();
  }

  // Under the lock (held by lk): waits until wakeAt or stop(). The caller counted as runnable.
  bool block(std::unique_lock<std::mutex>& lk, uint64_t wakeAt, const std::function<bool()>* stop) {
    if (wakeAt <= now) return stop && (*stop)();
    if (stop && (*stop)()) return true;
    Waiter w{wakeAt, stop};
    waiters.push_back(&w);
    --runnable;
    advanceIfIdle();
    cv.wait(lk, [&] { return w.woken; });
    waiters.remove(&w);
    return stop && (*stop)();
  }

  void reset() {
    now = 0;
    runnable = 1;
    waiters.clear();
    queue.clear();
    timers.clear();
    gui = std::this_thread::get_id();
    modalScripts.clear();
    modalForms.clear();
    liveThreads = 0;
  }
};

Scheduler& scheduler() {
  static Scheduler s;
  return s;
}

bool onGuiThread() { return std::this_thread::get_id() == scheduler().gui; }

bool isSync(const Item& item) { return item.fn != nullptr; }

// Runs queued messages and due timers until done() holds or the clock reaches deadline. GUI thread only. With
// syncOnly, only the synchronise calls of other threads run (a thread being waited for may need one).
// wakeAlso, checked under the scheduler's lock, ends a wait for work early (a joined thread has finished).
bool pump(const std::function<bool()>& done, uint64_t deadline, bool syncOnly = false,
          const std::function<bool()>& wakeAlso = nullptr) {
  Scheduler& s = scheduler();
  std::unique_lock lk(s.mutex);
  std::function<bool()> hasWork = [&s, syncOnly, &wakeAlso] {
    if (wakeAlso && wakeAlso()) return true;
    return syncOnly ? std::any_of(s.queue.begin(), s.queue.end(), isSync) : !s.queue.empty();
  };
  for (;;) {
    lk.unlock();
    bool finished = done();
    lk.lock();
    if (finished) return true;
    auto next = syncOnly ? std::find_if(s.queue.begin(), s.queue.end(), isSync) : s.queue.begin();
    if (next != s.queue.end()) {
      Item item = *next;
      s.queue.erase(next);
      lk.unlock();
      if (item.fn) {
        (*item.fn)();
        lk.lock();
        *item.done = true;
        s.reevaluate();
      } else {
        item.form->dispatchMessage(item.message, item.wParam, item.lParam);
        lk.lock();
      }
      continue;
    }
    uint64_t nextTimer = kNever;
    Timer* dueTimer = nullptr;
    for (Timer& t : s.timers)
      if (t.due < nextTimer) {
        nextTimer = t.due;
        dueTimer = &t;
      }
    if (syncOnly) nextTimer = kNever, dueTimer = nullptr;
    if (dueTimer && nextTimer <= s.now) {
      dueTimer->due += dueTimer->interval;
      Form* form = dueTimer->form;
      lk.unlock();
      form->dispatchTimer();
      lk.lock();
      continue;
    }
    if (deadline <= s.now) return false;
    s.block(lk, std::min(nextTimer, deadline), &hasWork);
  }
}

class HeadlessControl : public Native {
 public:
  void update() override {}
  HWND handle() const override { return nullptr; }
};

// Each form has a distinct handle value so that programs can tell windows apart; nothing is behind it.
class HeadlessForm : public Native {
 public:
  HeadlessForm() : handle_(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10000 + 4 * ++counter_))) {}
  void update() override {}
  HWND handle() const override { return handle_; }

 private:
  static inline int counter_ = 0;
  HWND handle_;
};

}  // namespace

namespace native {

std::unique_ptr<Native> create(Control&) { return std::make_unique<HeadlessControl>(); }
std::unique_ptr<Native> create(Form&) { return std::make_unique<HeadlessForm>(); }

void* registerNotification(Form& form, const GUID&) { return form.handle(); }
void unregisterNotification(void*) {}

void startTimer(Form& form, unsigned intervalMs) {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  std::erase_if(s.timers, [&](const Timer& t) { return t.form == &form; });
  if (intervalMs) s.timers.push_back({&form, intervalMs, s.now + intervalMs});
}

void runUntilClosed(Form& form) {
  Scheduler& s = scheduler();
  std::function<void(Form&)> script;
  {
    std::lock_guard lk(s.mutex);
    s.modalForms.push_back(form.name());
    if (!s.modalScripts.empty()) {
      script = std::move(s.modalScripts.front());
      s.modalScripts.pop_front();
    }
  }
  if (script)
    script(form);
  else
    form.close();
  pump([&] { return form.closed(); }, kNever);
}

void forget(Form& form) {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  std::erase_if(s.timers, [&](const Timer& t) { return t.form == &form; });
  std::erase_if(s.queue, [&](const Item& i) { return i.form == &form; });
}

}  // namespace native

void post(Form& form, UINT message, WPARAM wParam, LPARAM lParam) {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  if (form.closed()) return;
  s.queue.push_back({&form, message, wParam, lParam, nullptr, nullptr});
  s.reevaluate();
}

void synchronize(const std::function<void()>& fn) {
  if (onGuiThread()) {
    fn();
    return;
  }
  Scheduler& s = scheduler();
  std::unique_lock lk(s.mutex);
  bool done = false;
  s.queue.push_back({nullptr, 0, 0, 0, &fn, &done});
  s.reevaluate();
  std::function<bool()> isDone = [&done] { return done; };
  s.block(lk, kNever, &isDone);
}

void run(Form& form) {
  pump([&] { return form.closed(); }, kNever);
}

void processMessages() {
  if (onGuiThread()) pump([] { return false; }, scheduler().now);
}

void sleep(unsigned ms) {
  if (ms == 0) return;
  Scheduler& s = scheduler();
  std::unique_lock lk(s.mutex);
  s.block(lk, s.now + ms, nullptr);
}

uint64_t now() {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  return s.now;
}

struct Thread::State {
  std::thread thread;
  bool started = false;
  bool finished = false;
};

Thread::Thread() : state_(std::make_shared<State>()) {}
Thread::~Thread() { join(); }

void Thread::start(std::function<void()> body) {
  Scheduler& s = scheduler();
  {
    std::lock_guard lk(s.mutex);
    ++s.runnable;
    ++s.liveThreads;
    state_->started = true;
  }
  state_->thread = std::thread([state = state_, body = std::move(body)] {
    body();
    Scheduler& s = scheduler();
    std::lock_guard lk(s.mutex);
    state->finished = true;
    --s.runnable;
    --s.liveThreads;
    s.reevaluate();
    s.advanceIfIdle();
  });
}

void Thread::join() {
  if (!state_->started || !state_->thread.joinable()) return;
  if (onGuiThread()) {
    // The thread may be waiting for the GUI thread to run its synchronise call.
    State* state = state_.get();
    pump([this] { return finished(); }, kNever, true, [state] { return state->finished; });
  } else {
    Scheduler& s = scheduler();
    std::unique_lock lk(s.mutex);
    std::function<bool()> isFinished = [state = state_.get()] { return state->finished; };
    s.block(lk, kNever, &isFinished);
  }
  state_->thread.join();
}

bool Thread::started() const { return state_->started; }
bool Thread::finished() const {
  std::lock_guard lk(scheduler().mutex);
  return state_->finished;
}

namespace headless {

Session::Session() {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  s.reset();
}

Session::~Session() {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  if (s.liveThreads != 0) {
    std::fprintf(stderr, "headless user interface: %d thread(s) still running at the end of the session\n",
                 s.liveThreads);
    std::abort();
  }
  s.reset();
}

void click(Control& control) { control.form().dispatchClick(control); }
void pressKey(Form& form, WORD key, bool ctrl, bool shift) { form.dispatchKey(key, ctrl, shift); }
bool send(Form& form, UINT message, WPARAM wParam, LPARAM lParam) {
  return form.dispatchMessage(message, wParam, lParam);
}
void closeByTitleBar(Form& form) {
  form.events().onCloseRequest();
  form.close();
}

void runFor(unsigned ms) {
  pump([] { return false; }, scheduler().now + ms);
}
bool runUntil(const std::function<bool()>& done, unsigned limitMs) { return pump(done, scheduler().now + limitMs); }
void runPending() {
  pump([] { return false; }, scheduler().now);
}
uint64_t clock() { return now(); }

void onModal(const std::function<void(Form&)>& script) {
  std::lock_guard lk(scheduler().mutex);
  scheduler().modalScripts.push_back(script);
}
const std::vector<std::string>& modalForms() { return scheduler().modalForms; }

bool waitUntil(uint64_t wakeAt, const std::function<bool()>& stop) {
  Scheduler& s = scheduler();
  std::unique_lock lk(s.mutex);
  return s.block(lk, wakeAt, &stop);
}

void notifyAll() {
  Scheduler& s = scheduler();
  std::lock_guard lk(s.mutex);
  s.reevaluate();
}

}  // namespace headless
}  // namespace ui
