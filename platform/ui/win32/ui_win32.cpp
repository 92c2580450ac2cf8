// The Windows native side: each form is a top-level window of its own class, each control a common control.
// Controls of a group box are children of the form's window, placed at the group box's origin plus their own
// position; the progress bar moved into the status bar becomes the status bar's child.
#include <windows.h>
// After windows.h, which they build on.
#include <commctrl.h>
#include <dbt.h>

#include <atomic>
#include <thread>

#include "platform/ui/native.h"

namespace ui {
namespace {

constexpr UINT kSynchronize = WM_APP + 1;
constexpr const char* kFormClass = "TvSetupForm";
constexpr const char* kSyncClass = "TvSetupSync";
constexpr UINT_PTR kTimerId = 1;

DWORD g_guiThread = 0;
HWND g_syncWindow = nullptr;

Form* formOf(HWND hwnd) { return reinterpret_cast<Form*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA)); }

Control* controlById(Form& form, int id) {
  for (const auto& control : form.controls())
    if (control->id() == id) return control.get();
  return nullptr;
}

Control* controlByHandle(Form& form, HWND hwnd) {
  for (const auto& control : form.controls())
    if (control->handle() == hwnd) return control.get();
  return nullptr;
}

HFONT makeFont(bool defaultCharset, bool bold) {
  return CreateFontA(-11, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, 0, 0, 0,
                     defaultCharset ? DEFAULT_CHARSET : ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                     DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
}

// A form's client origin of a control: group-box children sit inside their group box.
POINT originOf(const Control& control) {
  POINT p{0, 0};
  for (Control* parent = control.parent(); parent && parent->kind() == Kind::GroupBox; parent = parent->parent()) {
    p.x += parent->bounds().left;
    p.y += parent->bounds().top;
  }
  return p;
}

LRESULT CALLBACK formProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The GUI thread's hidden window: a worker's synchronise call arrives as a sent message and runs here.
LRESULT CALLBACK syncProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kSynchronize) {
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void registerClasses() {
  static bool done = false;
  if (done) return;
  done = true;
  INITCOMMONCONTROLSEX icc{sizeof icc,
                           ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSA wc{};
  wc.lpfnWndProc = formProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kFormClass;
  RegisterClassA(&wc);
  WNDCLASSA sync{};
  sync.lpfnWndProc = syncProc;

  sync.hInstance = GetModuleHandleA(nullptr);
  sync.lpszClassName = kSyncClass;
  RegisterClassA(&sync);
  g_guiThread = GetCurrentThreadId();
  g_syncWindow =
      CreateWindowA(kSyncClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
}

class Win32Control : public Native {
 public:
  explicit Win32Control(Control& control) : control_(control) {
    Form& form = control.form();
    const char* cls = "STATIC";
    DWORD style = WS_CHILD;
    switch (control.kind()) {
      case Kind::GroupBox: cls = "BUTTON", style |= BS_GROUPBOX; break;
      case Kind::RadioButton: cls = "BUTTON", style |= BS_RADIOBUTTON | WS_TABSTOP; break;
      case Kind::Button: cls = "BUTTON", style |= BS_PUSHBUTTON | WS_TABSTOP; break;
      case Kind::Label: cls = "STATIC", style |= SS_LEFT | SS_NOPREFIX; break;
      case Kind::StatusBar: cls = STATUSCLASSNAMEA; break;
      case Kind::ProgressBar: cls = PROGRESS_CLASSA; break;
      case Kind::Animation: cls = ANIMATE_CLASSA, style |= ACS_TRANSPARENT | ACS_CENTER; break;
    }
    hwnd_ = CreateWindowExA(0, cls, "", style, 0, 0, 0, 0, form.handle(),
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id())), GetModuleHandleA(nullptr),
                            nullptr);
    if (control.kind() == Kind::ProgressBar) SendMessageA(hwnd_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    if (control.kind() == Kind::Animation)
      SendMessageA(hwnd_, ACM_OPENA, reinterpret_cast<WPARAM>(GetModuleHandleA("shell32.dll")),
                   reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(150)));  // the system's find-folder clip
    update();
  }
  ~Win32Control() override {
    if (hwnd_) DestroyWindow(hwnd_);
    if (font_) DeleteObject(font_);
  }

  HWND handle() const override { return hwnd_; }

  void update() override {
    if (!hwnd_) return;
    const Control& c = control_;
    if (c.parent() && c.parent()->kind() == Kind::StatusBar && GetParent(hwnd_) != c.parent()->handle())
      SetParent(hwnd_, c.parent()->handle());
    if (c.kind() == Kind::StatusBar) {
      if (static_cast<int>(parts_.size()) != c.panelCount()) {
        parts_.clear();
        int right = 0;
        for (int i = 0; i < c.panelCount(); ++i) parts_.push_back(right += c.panelWidth(i));
        SendMessageA(hwnd_, SB_SETPARTS, parts_.size(), reinterpret_cast<LPARAM>(parts_.data()));
        SendMessageA(hwnd_, SB_SETTEXTA, (c.panelCount() - 1) | SBT_OWNERDRAW, 0);
      }
      for (int i = 0; i + 1 < c.panelCount(); ++i)
        SendMessageA(hwnd_, SB_SETTEXTA, i, reinterpret_cast<LPARAM>(c.panelText(i).c_str()));
      SendMessageA(hwnd_, WM_SIZE, 0, 0);
    } else {
      POINT origin = originOf(c);
      Rect r = c.bounds();
      MoveWindow(hwnd_, origin.x + r.left, origin.y + r.top, r.width, r.height, TRUE);
      char current[512] = "";
      GetWindowTextA(hwnd_, current, sizeof current);
      if (c.caption() != current) SetWindowTextA(hwnd_, c.caption().c_str());
    }
    if (c.kind() == Kind::RadioButton) SendMessageA(hwnd_, BM_SETCHECK, c.checked() ? BST_CHECKED : BST_UNCHECKED, 0);
    if (c.kind() == Kind::ProgressBar) SendMessageA(hwnd_, PBM_SETPOS, c.position(), 0);
    if (c.kind() == Kind::Animation && c.animating() != playing_) {
      playing_ = c.animating();
      if (playing_)
        SendMessageA(hwnd_, ACM_PLAY, static_cast<WPARAM>(-1), MAKELPARAM(0, 29));
      else
        SendMessageA(hwnd_, ACM_STOP, 0, 0);
    }
    if ((c.defaultCharset() || c.bold()) && !font_) {
      font_ = makeFont(c.defaultCharset(), c.bold());
      SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    } else if (!font_) {
      SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    }
    EnableWindow(hwnd_, c.enabled());
    ShowWindow(hwnd_, c.visible() ? SW_SHOWNA : SW_HIDE);
    InvalidateRect(hwnd_, nullptr, TRUE);
  }

 private:
  Control& control_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  bool playing_ = false;
  std::vector<int> parts_;
};

class Win32Form : public Native {
 public:
  explicit Win32Form(Form& form) : form_(form) {
    registerClasses();
    DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    if (!form.owner()) style |= WS_MINIMIZEBOX;
    RECT r{0, 0, form.clientWidth(), form.clientHeight()};
    AdjustWindowRectEx(&r, style, FALSE, WS_EX_DLGMODALFRAME);
    HWND owner = form.owner() ? form.owner()->handle() : nullptr;
    hwnd_ =
        CreateWindowExA(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kFormClass, form.caption().c_str(), style, 0, 0,
                        r.right - r.left, r.bottom - r.top, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&form));
    centre();
  }
  ~Win32Form() override {
    if (hwnd_) {
      SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
      DestroyWindow(hwnd_);
    }
    if (font_) DeleteObject(font_);
  }
  HWND handle() const override { return hwnd_; }

  void update() override {
    if (!hwnd_) return;
    const Form& f = form_;
    char current[512] = "";
    GetWindowTextA(hwnd_, current, sizeof current);
    if (f.caption() != current) SetWindowTextA(hwnd_, f.caption().c_str());
    RECT client;
    GetClientRect(hwnd_, &client);
    if (client.bottom != f.clientHeight()) {
      RECT r{0, 0, f.clientWidth(), f.clientHeight()};
      AdjustWindowRectEx(&r, GetWindowLongA(hwnd_, GWL_STYLE), FALSE, GetWindowLongA(hwnd_, GWL_EXSTYLE));
      SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
      centre();
    }
    if (f.defaultCharset() && !font_) {
      font_ = makeFont(true, false);
      SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
    if (f.topmost() != topmost_) {
      topmost_ = f.topmost();
      SetWindowPos(hwnd_, topmost_ ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    if (f.closed()) {
      ShowWindow(hwnd_, SW_HIDE);
      PostMessageA(hwnd_, WM_NULL, 0, 0);
    } else if (f.shown() && !IsWindowVisible(hwnd_)) {
      ShowWindow(hwnd_, SW_SHOW);
    }
    SetCursor(LoadCursor(nullptr, f.busyCursor() ? IDC_WAIT : IDC_ARROW));
  }

 private:
  void centre() {
    RECT r, area;
    GetWindowRect(hwnd_, &r);
    if (form_.owner() && form_.owner()->handle())
      GetWindowRect(form_.owner()->handle(), &area);
    else
      SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    int w = r.right - r.left, h = r.bottom - r.top;
    SetWindowPos(hwnd_, nullptr, area.left + (area.right - area.left - w) / 2,
                 area.top + (area.bottom - area.top - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  Form& form_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  bool topmost_ = false;
};

LRESULT CALLBACK formProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Form* form = formOf(hwnd);
  if (!form) return DefWindowProcA(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED)
        if (Control* control = controlById(*form, LOWORD(wParam))) form->dispatchClick(*control);
      return 0;
    case WM_TIMER:
      if (wParam == kTimerId) form->dispatchTimer();
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      if (Control* control = controlByHandle(*form, reinterpret_cast<HWND>(lParam))) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, control->color());
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    case WM_DRAWITEM: {
      auto* draw = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
      if (Control* bar = controlByHandle(*form, draw->hwndItem)) {
        RECT r = draw->rcItem;
        form->dispatchDrawPanel(*bar, static_cast<int>(draw->itemID),
                                {r.left, r.top, r.right - r.left, r.bottom - r.top});
        return TRUE;
      }
      break;
    }
    case WM_SIZE:
      for (const auto& control : form->controls())
        if (control->kind() == Kind::StatusBar && control->handle()) SendMessageA(control->handle(), WM_SIZE, 0, 0);
      break;
    case WM_CLOSE:
      form->events().onCloseRequest();
      form->close();
      return 0;
    default:
      if (form->dispatchMessage(message, wParam, lParam)) return message == WM_DEVICECHANGE ? TRUE : 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Key preview: a key press on any control of a form reaches the form first.
bool previewKey(const MSG& msg) {
  if (msg.message != WM_KEYDOWN) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  Form* form = root ? formOf(root) : nullptr;
  if (!form) return false;
  form->dispatchKey(static_cast<WORD>(msg.wParam), GetKeyState(VK_CONTROL) < 0, GetKeyState(VK_SHIFT) < 0);
  return false;
}

void loop(Form& form) {
  MSG msg;
  while (!form.closed() && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    previewKey(msg);
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

namespace native {

std::unique_ptr<Native> create(Control& control) { return std::make_unique<Win32Control>(control); }
std::unique_ptr<Native> create(Form& form) { return std::make_unique<Win32Form>(form); }

void* registerNotification(Form& form, const GUID& interfaceClass) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interfaceClass;
  return RegisterDeviceNotificationA(form.handle(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}
void unregisterNotification(void* handle) { UnregisterDeviceNotification(handle); }

void startTimer(Form& form, unsigned intervalMs) {
  if (intervalMs)
    SetTimer(form.handle(), kTimerId, intervalMs, nullptr);
  else
    KillTimer(form.handle(), kTimerId);
}

void runUntilClosed(Form& form) {
  HWND owner = form.owner() ? form.owner()->handle() : nullptr;
  if (owner) EnableWindow(owner, FALSE);
  ShowWindow(form.handle(), SW_SHOW);
  loop(form);
  if (owner) {
    EnableWindow(owner, TRUE);
    SetForegroundWindow(owner);
  }
}

void forget(Form& form) {
  if (form.handle()) KillTimer(form.handle(), kTimerId);
}

}  // namespace native

void post(Form& form, UINT message, WPARAM wParam, LPARAM lParam) {
  if (form.handle()) PostMessageA(form.handle(), message, wParam, lParam);
}

void synchronize(const std::function<void()>& fn) {
  if (GetCurrentThreadId() == g_guiThread || !g_syncWindow) {
    fn();
    return;
  }
  SendMessageA(g_syncWindow, kSynchronize, 0, reinterpret_cast<LPARAM>(&fn));
}

void run(Form& form) { loop(form); }

void processMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    previewKey(msg);
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void sleep(unsigned ms) { Sleep(ms); }
uint64_t now() { return GetTickCount(); }

struct Thread::State {
  std::thread thread;
  bool started = false;
  std::atomic<bool> finished{false};
};

Thread::Thread() : state_(std::make_shared<State>()) {}
Thread::~Thread() { join(); }
void Thread::start(std::function<void()> body) {
  state_->started = true;
  state_->thread = std::thread([state = state_, body = std::move(body)] {
    body();
    state->finished = true;
  });
}
void Thread::join() {
  if (!state_->thread.joinable()) return;
  // On the GUI thread the joined thread may be waiting in a synchronise call: sent messages keep being handled.
  if (GetCurrentThreadId() == g_guiThread) {
    MSG msg;
    while (!state_->finished) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_SENDMESSAGE);
      PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
  }
  state_->thread.join();
}
bool Thread::started() const { return state_->started; }
bool Thread::finished() const { return state_->finished; }

}  // namespace ui
