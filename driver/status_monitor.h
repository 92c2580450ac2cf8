// The once-per-second monitor: a system thread that runs the video decoder's status routine every second
// (signal lock, idle power-down of the front end) until it is stopped.
#pragma once

#include "driver/kernel/ntkernel.h"

namespace pelgar {

class VideoDecoder;

class StatusMonitor {
 public:
  // The monitor over the decoder, not yet running.
  static NTSTATUS Create(VideoDecoder* decoder, StatusMonitor** monitor);
  // Stops the thread when it runs, then frees the object; ignores null.
  static void Destroy(StatusMonitor* monitor);

  // Starts the thread (passive level). STATUS_UNSUCCESSFUL when it already runs; the thread creation's
  // failure status otherwise.
  NTSTATUS Start();
  // Signals the thread to end and waits until it has; nothing when it does not run.
  void Stop();
  bool Running() const { return thread_ != nullptr; }

  // Interval between two runs of the status routine: one second, in 100-ns units, relative.
  static constexpr LONGLONG kInterval = -10000000;

 private:
  explicit StatusMonitor(VideoDecoder* decoder);
  ~StatusMonitor() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);
  static VOID ThreadMain(PVOID context);

  VideoDecoder* decoder_;  // whose status routine runs
  KEVENT stop_;            // set to end the thread
  PVOID thread_;           // referenced thread object while the thread runs
};

}  // namespace pelgar
