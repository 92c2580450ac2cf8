#include "driver/status_monitor.h"

#include "driver/decoders.h"
#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS StatusMonitor::Create(VideoDecoder* decoder, StatusMonitor** monitor) {
  *monitor = NewTagged<StatusMonitor>(std::source_location::current(), decoder);
  return *monitor == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void StatusMonitor::Destroy(StatusMonitor* monitor) {
  if (monitor == nullptr) return;
  monitor->Stop();
  DeleteTagged(monitor);
}

StatusMonitor::StatusMonitor(VideoDecoder* decoder) : decoder_(decoder), thread_(nullptr) {
  KeInitializeEvent(&stop_, NotificationEvent, FALSE);
}

NTSTATUS StatusMonitor::Start() {
  if (thread_ != nullptr) return STATUS_UNSUCCESSFUL;
  KeClearEvent(&stop_);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ThreadMain, this);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread_, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // The thread runs but cannot be waited for: end it before reporting the failure.
    KeSetEvent(&stop_, 0, FALSE);
    thread_ = nullptr;
  }
  return status;
}

void StatusMonitor::Stop() {
  if (thread_ == nullptr) return;
  KeSetEvent(&stop_, 0, FALSE);
  KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread_);
  thread_ = nullptr;
}

VOID StatusMonitor::ThreadMain(PVOID context) {
  auto* self = static_cast<StatusMonitor*>(context);
  LARGE_INTEGER interval;
  interval.QuadPart = kInterval;
  do {
    self->decoder_->OnceASecond();
  } while (KeWaitForSingleObject(&self->stop_, Executive, KernelMode, FALSE, &interval) == STATUS_TIMEOUT);
}

}  // namespace pelgar
