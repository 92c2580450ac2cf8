#include "driver/dma_engine.h"

#include "driver/driver_services.h"
#include "driver/encoder_mailbox.h"

namespace pelgar {

namespace {

// Offsets from mailbox 0 of the words the firmware writes for the engine.
constexpr ULONG kDoneReportIndex = 660;
constexpr ULONG kRequestIndex = 736;
constexpr ULONG kRequestAddress = 740;
constexpr ULONG kRequestCount = 744;
constexpr ULONG kRequestAddress2 = 748;
constexpr ULONG kRequestCount2 = 752;

// Commands of the data path: schedule a descriptor list (posted), set up the auxiliary record ring (waited).
constexpr ULONG kCommandSchedule = 0xCC;
constexpr ULONG kCommandAuxRing = 0xC7;
constexpr ULONG kAuxRingKind = 7;
constexpr ULONG kAuxRecords = 400;

// Descriptors list 0 keeps free for the VBI buffers staged behind the MPEG data.
constexpr ULONG kVbiDescriptors = 2;

ULONG RoundUp(ULONG value, ULONG unit) { return (value + unit - 1) / unit * unit; }
ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

ULONG StagedBytes(ULONG bufferSize) { return (bufferSize & ~(kTransferUnit - 1)) + kTransferUnit; }

}  // namespace

// ---- VbiRing

NTSTATUS VbiRing::Create(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical, ULONG stagingLength,
                         VbiRing** ring) {
  *ring = NewTagged<VbiRing>(std::source_location::current(), mem, staging, stagingPhysical, stagingLength);
  return *ring == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void VbiRing::Destroy(VbiRing* ring) { DeleteTagged(ring); }

VbiRing::VbiRing(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical, ULONG stagingLength)
    : mem_(mem),
      staging_(static_cast<PUCHAR>(staging)),
      stagingPhysical_(stagingPhysical),
      stagingLength_(stagingLength),
      enabled_(FALSE),
      offset_(0),
      size_(0),
      count_(0),
      next_(1),
      linesPerField_(0),
      startCodes_{0, 0},
      staged_(0) {}

NTSTATUS VbiRing::Configure(ULONG offset, ULONG bufferSize, ULONG count, ULONG linesPerField, UCHAR startCode1,
                            UCHAR startCode2) {
  enabled_ = FALSE;
  staged_ = 0;
  // The firmware's write position word lies in front of the ring; a staging copy reads (S rounded down to
  // 256) + 256 bytes from the start of a buffer, so the last buffer's copy must stay in encoder memory,
  // and two copies (S apart) must fit the staging buffer.
  if (count == 0 || bufferSize == 0 || offset < 4 || (offset & 3) != 0) return STATUS_INVALID_PARAMETER;
  const ULONGLONG staged = StagedBytes(bufferSize);
  const ULONGLONG lastCopyEnd = ULONGLONG{offset} + ULONGLONG{count - 1} * bufferSize + staged;
  if (lastCopyEnd > kEncoderMemoryBytes || staged > kDescriptorCountMask) return STATUS_INVALID_PARAMETER;
  if (ULONGLONG{bufferSize} + staged > stagingLength_) return STATUS_INVALID_PARAMETER;
  offset_ = offset;
  size_ = bufferSize;
  count_ = count;
  linesPerField_ = linesPerField;
  startCodes_[0] = startCode1;
  startCodes_[1] = startCode2;
  next_ = 1;
  enabled_ = TRUE;
  return STATUS_SUCCESS;
}

// ---- Construction

NTSTATUS CaptureDmaEngine::Create(ChipRegisters regs, PUCHAR mem, EncoderMailbox* mailbox, VbiRing* ring,
                                  PVOID audioStaging, PHYSICAL_ADDRESS audioStagingPhysical, ULONG audioStagingLength,
                                  CaptureDmaEngine** engine) {
  *engine = NewTagged<CaptureDmaEngine>(std::source_location::current(), regs, mem, mailbox, ring, audioStaging,
                                        audioStagingPhysical, audioStagingLength);
  if (*engine == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  CaptureDmaEngine* e = *engine;
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = 0xFFFFFFFF;
  for (DescriptorList& list : e->lists_) {
    list.page = static_cast<DmaDescriptor*>(MmAllocateContiguousMemory(kDescriptorPageBytes, highest));
    if (list.page == nullptr) {
      Destroy(e);
      *engine = nullptr;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    list.physical = MmGetPhysicalAddress(list.page);
  }
  return STATUS_SUCCESS;
}

void CaptureDmaEngine::Destroy(CaptureDmaEngine* engine) { DeleteTagged(engine); }

CaptureDmaEngine::CaptureDmaEngine(ChipRegisters regs, PUCHAR mem, EncoderMailbox* mailbox, VbiRing* ring,
                                   PVOID audioStaging, PHYSICAL_ADDRESS audioStagingPhysical,
                                   ULONG audioStagingLength)
    : regs_(regs),
      mem_(mem),
      mailbox_(mailbox),
      ring_(ring),
      audioStaging_(static_cast<PUCHAR>(audioStaging)),
      audioStagingPhysical_(audioStagingPhysical),
      audioStagingLength_(audioStagingLength) {
  KeInitializeDpc(&requestDpc_, RequestDpc, this);
  KeInitializeDpc(&doneDpc_, DoneDpc, this);
  KeInitializeDpc(&thirdDpc_, ThirdDpc, this);
  KeInitializeSpinLock(&lock_);
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
}

CaptureDmaEngine::~CaptureDmaEngine() {
  KeRemoveQueueDpc(&requestDpc_);
  KeRemoveQueueDpc(&doneDpc_);
  KeRemoveQueueDpc(&thirdDpc_);
  for (DescriptorList& list : lists_)
    if (list.page != nullptr) MmFreeContiguousMemory(list.page);
}

// ---- Interrupt

// Device IRQL. One source per call, the request first: a done report pending beside it raises the next call.
BOOLEAN CaptureDmaEngine::Isr() {
  const InterruptStatus status = regs_.Read<InterruptStatus>();
  const InterruptMask mask = regs_.Read<InterruptMask>();
  InterruptStatus acknowledge;
  PKDPC dpc = nullptr;
  if (status.dmaRequest && !mask.dmaRequest) {
    acknowledge.dmaRequest = true;
    dpc = &requestDpc_;
  } else if (status.dmaDone && !mask.dmaDone) {
    acknowledge.dmaDone = true;
    dpc = &doneDpc_;
  } else if (status.thirdSource && !mask.thirdSource) {
    acknowledge.thirdSource = true;
    dpc = &thirdDpc_;
  } else {
    return FALSE;
  }
  regs_.Write(acknowledge);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  return TRUE;
}

VOID CaptureDmaEngine::RequestDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* e = static_cast<CaptureDmaEngine*>(context);
  KeAcquireSpinLockAtDpcLevel(&e->lock_);
  e->OnRequest();
  KeReleaseSpinLockFromDpcLevel(&e->lock_);
}

VOID CaptureDmaEngine::DoneDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* e = static_cast<CaptureDmaEngine*>(context);
  KeAcquireSpinLockAtDpcLevel(&e->lock_);
  e->OnDone();
  KeReleaseSpinLockFromDpcLevel(&e->lock_);
}

// The third source carries nothing the driver uses beyond its acknowledge; waiters may watch the event.
VOID CaptureDmaEngine::ThirdDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* e = static_cast<CaptureDmaEngine*>(context);
  e->counters_.thirdSource += 1;
  KeSetEvent(&e->event_, 0, FALSE);
}

ULONG CaptureDmaEngine::MailboxWord(ULONG offset) const {
  return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(mem_ + mailbox_->MailboxOffset() + offset));
}

// ---- Attach and detach

NTSTATUS CaptureDmaEngine::Attach(CaptureStream* stream) {
  const ULONG index = stream->StreamIndex();
  if (index >= kStreamSlots) return STATUS_INVALID_PARAMETER;
  if (index == kStreamIndexAux) {
    // The firmware keeps the records in a ring of its own; the pin reads them after every MPEG transfer.
    ULONG results[2] = {0, 0};
    NTSTATUS status = mailbox_->Send(kCommandAuxRing, {kAuxRingKind, kAuxRecords}, 2, results);
    if (!NT_SUCCESS(status)) return status;
    stream->SetAuxRing(results[0], results[0] + 4, results[1]);
  }
  if (index == kStreamIndexVbi) {
    // The ring the last VBI configuration reported, if it fits what the engine can stage.
    const VbiLayout& layout = mailbox_->Vbi();
    if (!layout.valid ||
        !NT_SUCCESS(ring_->Configure(layout.ringOffset, layout.bufferSize, layout.bufferCount, layout.linesPerField,
                                     layout.startCodes[0], layout.startCodes[1])))
      ring_->Disable();
    ring_->Restart();
  }
  KIRQL old;
  KeClearEvent(&event_);
  KeAcquireSpinLock(&lock_, &old);
  if (index < kDmaStreams) {
    streams_[index].taken = 0;
    streams_[index].outstanding = 0;
    ResetList(index);
  }
  if (index == kStreamIndexRawAudio) ClearAudio();
  if (index == kStreamIndexMpeg) retry_ = FALSE;
  if (index == kStreamIndexVbi) ring_->staged_ = 0;
  pins_[index] = stream;
  KeReleaseSpinLock(&lock_, old);
  // Unmasked only now: a request the firmware raised while the sources were masked finds the pin in place.
  InterruptMask mask = regs_.Read<InterruptMask>();
  mask.dmaRequest = mask.thirdSource = mask.dmaDone = false;
  regs_.Write(mask);
  return STATUS_SUCCESS;
}

void CaptureDmaEngine::Detach(ULONG index) {
  if (index >= kStreamSlots) return;
  KIRQL old;
  KeAcquireSpinLock(&lock_, &old);
  if (index == kStreamIndexRawAudio) ClearAudio();
  if (index < kDmaStreams && pins_[index] != nullptr) {
    // Buffers of a transfer that has not reported done go back empty: nothing says the bytes arrived.
    ReleaseTaken(index, FALSE);
    ResetList(index);
    streams_[index].outstanding = 0;
  }
  if (index == kStreamIndexMpeg && retry_) {
    // The request held for want of buffers is still the encoder's open request: it raises no other until
    // this one is answered, so it is answered without a list (its data dropped) rather than forgotten.
    retry_ = FALSE;
    Drop(index, lists_[index].requestCount);
  }
  if (index == kStreamIndexVbi) ring_->staged_ = 0;
  pins_[index] = nullptr;
  BOOLEAN any = FALSE;
  for (CaptureStream* pin : pins_) any |= pin != nullptr;
  KeReleaseSpinLock(&lock_, old);
  if (!any) {
    InterruptMask mask = regs_.Read<InterruptMask>();
    mask.dmaRequest = mask.thirdSource = mask.dmaDone = true;
    regs_.Write(mask);
    KeRemoveQueueDpc(&requestDpc_);
    KeRemoveQueueDpc(&doneDpc_);
  }
}

// ---- Requests

void CaptureDmaEngine::OnRequest() {
  const ULONG index = MailboxWord(kRequestIndex);
  if (index >= kDmaStreams) {
    counters_.ignoredRequests += 1;
    return;
  }
  const ULONG address = MailboxWord(kRequestAddress);
  const ULONG count = MailboxWord(kRequestCount);
  counters_.requests[index] += 1;
  StreamState& stream = streams_[index];
  stream.outstanding += 1;
  if (stream.outstanding > 1) {
    // A request the firmware never got an answer for gets no done report either.
    if (!lists_[index].answered) stream.outstanding -= 1;
    Complete(index);
    if (index == kStreamIndexMpeg) retry_ = FALSE;
  }
  ResetList(index);
  DescriptorList& list = lists_[index];
  list.requestAddress = address;
  list.requestCount = count;
  CaptureStream* pin = pins_[index];

  if (index == kStreamIndexMpeg) {
    if (pin != nullptr) {
      Fill result = FillMpeg();
      if (result == Fill::Starved) {
        retry_ = TRUE;  // answered by RetryPendingRequest when buffers arrive
        return;
      }
      if (result == Fill::Overflow) {
        Refuse(index);
        return;
      }
    }
    if (pins_[kStreamIndexVbi] != nullptr) StageVbi();
    if (list.count > 0 && (pin != nullptr || pins_[kStreamIndexVbi] != nullptr)) {
      AnswerWithList(index);
      return;
    }
  } else if (index == kStreamIndexRawVideo && pin != nullptr) {
    CaptureBuffer* buffer = TakeBuffer(index);
    if (buffer != nullptr) {
      // Both planes into the one buffer, the second where the first ends.
      Fill first = FillBuffer(index, buffer, address, count);
      const ULONG count2 = MailboxWord(kRequestCount2);
      Fill second = first != Fill::Overflow && count2 > 0
                        ? FillBuffer(index, buffer, MailboxWord(kRequestAddress2), count2)
                        : first;
      if (first == Fill::Overflow || second == Fill::Overflow) {
        Refuse(index);
        return;
      }
      if (list.count > 0) {
        AnswerWithList(index);
        return;
      }
    } else {
      pin->FrameDropped();
    }
  } else if (index == kStreamIndexRawAudio && pin != nullptr) {
    if (audioPending_ > 0) DeliverAudio();
    // The block header is skipped; a count that leaves no payload or more than the staging buffer holds
    // cannot be staged and the block is dropped.
    if (count <= kAudioHeaderBytes || count - kAudioHeaderBytes > audioStagingLength_ ||
        !Append(index, address + kAudioHeaderBytes, audioStagingPhysical_.u.LowPart, count - kAudioHeaderBytes,
                kMaxDescriptors)) {
      counters_.audioRefused += 1;
      Drop(index, count);
      return;
    }
    audioPending_ = count - kAudioHeaderBytes;
    AnswerWithList(index);
    return;
  }
  // No pin or no buffer: the firmware drops the data.
  ReleaseTaken(index, FALSE);
  Drop(index, count);
}

void CaptureDmaEngine::RetryPendingRequest() {
  KIRQL old;
  KeAcquireSpinLock(&lock_, &old);
  if (retry_ && pins_[kStreamIndexMpeg] != nullptr && MailboxWord(kRequestIndex) == kStreamIndexMpeg) {
    Fill result = FillMpeg();
    if (result == Fill::Overflow) {
      retry_ = FALSE;
      Refuse(kStreamIndexMpeg);
    } else if (result != Fill::Starved) {
      retry_ = FALSE;
      if (pins_[kStreamIndexVbi] != nullptr) StageVbi();
      AnswerWithList(kStreamIndexMpeg);
    }
  }
  KeReleaseSpinLock(&lock_, old);
}

void CaptureDmaEngine::ResetList(ULONG index) {
  DescriptorList& list = lists_[index];
  list.count = 0;
  list.total = 0;
  list.pad = 0;
  list.answered = FALSE;
}

CaptureBuffer* CaptureDmaEngine::TakeBuffer(ULONG index) {
  StreamState& stream = streams_[index];
  if (stream.taken >= kMaxDescriptors) return nullptr;  // more buffers than descriptors: cannot be listed
  CaptureBuffer* buffer = pins_[index]->TakeBuffer();
  if (buffer == nullptr) return nullptr;
  buffer->mappingIndex = 0;
  buffer->mappingOffset = 0;
  buffer->scheduled = 0;
  buffer->dataUsed = 0;
  buffer->flags = 0;
  stream.buffers[stream.taken++] = buffer;
  return buffer;
}

BOOLEAN CaptureDmaEngine::Append(ULONG index, ULONG source, ULONG destination, ULONG bytes, ULONG capacity) {
  DescriptorList& list = lists_[index];
  if (list.count >= capacity || bytes == 0 || bytes > kDescriptorCountMask) return FALSE;
  if (ULONGLONG{source} + bytes > kEncoderMemoryBytes) return FALSE;
  DmaDescriptor& d = list.page[list.count++];
  d.source = source;
  d.destination = destination;
  d.control = bytes;
  list.total += bytes;
  return TRUE;
}

// Schedules `wanted` bytes from encoder `address` into the buffer where its filling stopped: one descriptor
// per piece of a mapping, never past the buffer's end. A piece shorter than the bytes left in its mapping is
// padded up to a whole transfer unit as far as the mapping allows; the padding is not counted as data.
CaptureDmaEngine::Fill CaptureDmaEngine::FillBuffer(ULONG index, CaptureBuffer* buffer, ULONG address, ULONG wanted) {
  DescriptorList& list = lists_[index];
  const ULONG capacity = index == kStreamIndexMpeg ? kMaxDescriptors - kVbiDescriptors : kMaxDescriptors;
  ULONG done = 0;
  ULONG pad = 0;
  while (done < wanted && buffer->mappingIndex < buffer->mappingCount && buffer->scheduled < buffer->frameExtent) {
    const BufferMapping& mapping = buffer->mappings[buffer->mappingIndex];
    if (buffer->mappingOffset >= mapping.bytes) {
      buffer->mappingIndex += 1;
      buffer->mappingOffset = 0;
      continue;
    }
    ULONG left = Min(mapping.bytes - buffer->mappingOffset, buffer->frameExtent - buffer->scheduled);
    left = Min(left, kMaxDescriptorBytes);
    ULONG chunk = left;
    pad = 0;
    if (wanted - done < left) {
      chunk = Min(RoundUp(wanted - done, kTransferUnit), left);
      pad = chunk - (wanted - done);
    }
    if (!Append(index, address + done, mapping.physical.u.LowPart + buffer->mappingOffset, chunk, capacity))
      return Fill::Overflow;
    buffer->mappingOffset += chunk;
    buffer->scheduled += chunk;
    done += chunk - pad;
  }
  list.pad = pad;
  buffer->dataUsed = buffer->scheduled - pad;
  return done >= wanted ? Fill::Covered : Fill::Exhausted;
}

// Takes buffers until the list covers the request; continues where a starved attempt stopped.
CaptureDmaEngine::Fill CaptureDmaEngine::FillMpeg() {
  DescriptorList& list = lists_[kStreamIndexMpeg];
  while (list.total < list.requestCount) {
    CaptureBuffer* buffer = TakeBuffer(kStreamIndexMpeg);
    if (buffer == nullptr)
      return streams_[kStreamIndexMpeg].taken >= kMaxDescriptors ? Fill::Overflow : Fill::Starved;
    Fill result =
        FillBuffer(kStreamIndexMpeg, buffer, list.requestAddress + list.total, list.requestCount - list.total);
    if (result == Fill::Overflow) return result;
  }
  return Fill::Covered;
}

// Copies the ring buffers the firmware completed since the last staging (at most the newest two) to the
// staging buffer, behind the MPEG descriptors of list 0.
void CaptureDmaEngine::StageVbi() {
  VbiRing& ring = *ring_;
  if (!ring.enabled_ || ring.staged_ > 0) return;
  const ULONG position = READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(ring.mem_ + ring.offset_ - 4));
  if (position < ring.offset_) return;
  ULONG f = (position - ring.offset_) / ring.size_;
  if (f >= ring.count_) return;  // not a buffer of the ring: nothing to trust
  const ULONG last = ring.next_ == 0 ? ring.count_ - 1 : ring.next_ - 1;
  if (f == last) return;
  ULONG k = 1;
  if (f != ring.next_) {
    f = f == 0 ? ring.count_ - 1 : f - 1;
    k = 2;
  }
  for (ULONG j = 0; j < k; ++j) {
    if (!Append(kStreamIndexMpeg, ring.offset_ + f * ring.size_, ring.stagingPhysical_.u.LowPart + j * ring.size_,
                StagedBytes(ring.size_), kMaxDescriptors))
      break;
    ring.staged_ += 1;
    f = (f + 1) % ring.count_;
  }
  ring.next_ = f;
}

// Only the list's final descriptor carries the last mark: the encoder stops at the first one it meets.
void CaptureDmaEngine::AnswerWithList(ULONG index) {
  DescriptorList& list = lists_[index];
  for (ULONG i = 0; i < list.count; ++i) list.page[i].control &= ~kDescriptorLast;
  list.page[list.count - 1].control |= kDescriptorLast;
  list.answered = TRUE;
  counters_.answered[index] += 1;
  Post(list.physical.u.LowPart, list.total);
}

// A request that needs more descriptors than the page holds: the firmware drops the data and the buffers
// taken for it go back empty.
void CaptureDmaEngine::Refuse(ULONG index) {
  counters_.refused[index] += 1;
  ReleaseTaken(index, FALSE);
  ResetList(index);
  Post(0, lists_[index].requestCount);
}

void CaptureDmaEngine::Drop(ULONG index, ULONG count) {
  counters_.dropped[index] += 1;
  Post(0, count);
}

void CaptureDmaEngine::Post(ULONG list, ULONG count) {
  EncoderCommand command = EncoderCommand::Make(kCommandSchedule, {list, count, 0});
  mailbox_->Post(command);
}

// ---- Done reports and completion

void CaptureDmaEngine::OnDone() {
  const ULONG index = MailboxWord(kDoneReportIndex);
  if (index >= kDmaStreams) return;
  StreamState& stream = streams_[index];
  if (stream.outstanding > 0) stream.outstanding -= 1;
  if (stream.outstanding == 0) Complete(index);
}

void CaptureDmaEngine::Complete(ULONG index) {
  if (index == kStreamIndexRawAudio) {
    if (pins_[index] != nullptr) DeliverAudio();
    return;
  }
  if (pins_[index] != nullptr) ReleaseTaken(index, lists_[index].answered);
  if (index == kStreamIndexMpeg) {
    CaptureStream* vbi = pins_[kStreamIndexVbi];
    if (vbi != nullptr && ring_->staged_ > 0 && lists_[index].answered)
      vbi->ParseVbi(ring_->staging_, ring_->staged_, ring_->size_);
    ring_->staged_ = 0;
    if (pins_[kStreamIndexAux] != nullptr) pins_[kStreamIndexAux]->ReadAuxRecords();
  }
  lists_[index].answered = FALSE;
}

// Hands the buffers taken for a transfer back to the pin. Without a transfer that reported done their
// contents are not stream data: they go back with no data and marked as a discontinuity.
void CaptureDmaEngine::ReleaseTaken(ULONG index, BOOLEAN transferred) {
  StreamState& stream = streams_[index];
  CaptureStream* pin = pins_[index];
  for (ULONG i = 0; i < stream.taken; ++i) {
    CaptureBuffer* buffer = stream.buffers[i];
    if (!transferred) {
      buffer->dataUsed = 0;
      buffer->flags |= kBufferDiscontinuity;
      counters_.emptied[index] += 1;
    }
    if (pin != nullptr) pin->CompleteBuffer(buffer);
    stream.buffers[i] = nullptr;
  }
  stream.taken = 0;
}

// Copies the staged audio bytes into the pin's buffers, each completed when full; a buffer left part full
// is kept for the next block.
void CaptureDmaEngine::DeliverAudio() {
  CaptureStream* pin = pins_[kStreamIndexRawAudio];
  ULONG from = 0;
  if (pin != nullptr && audioPartial_ != nullptr) {
    CaptureBuffer* buffer = audioPartial_;
    const ULONG n = Min(audioPending_, buffer->frameExtent - audioPartialFill_);
    RtlCopyMemory(buffer->data + audioPartialFill_, audioStaging_, n);
    from += n;
    audioPending_ -= n;
    audioPartialFill_ += n;
    if (audioPartialFill_ == buffer->frameExtent) {
      buffer->dataUsed = buffer->frameExtent;
      audioPartial_ = nullptr;
      audioPartialFill_ = 0;
      pin->CompleteBuffer(buffer);
    } else {
      audioPending_ = 0;
    }
  }
  while (pin != nullptr && audioPending_ > 0) {
    CaptureBuffer* buffer = pin->TakeBuffer();
    if (buffer == nullptr) break;
    buffer->flags = audioGap_ ? kBufferDiscontinuity : 0;
    audioGap_ = FALSE;
    const ULONG n = Min(audioPending_, buffer->frameExtent);
    RtlCopyMemory(buffer->data, audioStaging_ + from, n);
    from += n;
    audioPending_ -= n;
    if (n == buffer->frameExtent) {
      buffer->dataUsed = n;
      pin->CompleteBuffer(buffer);
    } else {
      audioPartial_ = buffer;
      audioPartialFill_ = n;
      break;
    }
  }
  if (pin != nullptr && audioPending_ > 0) {
    // No buffer for the rest: it is lost, counted, and the stream shows the gap.
    counters_.audioLostBytes += audioPending_;
    audioGap_ = TRUE;
  }
  audioPending_ = 0;
}

// The audio pin leaves run: a buffer filled part of the way is completed with what it holds.
void CaptureDmaEngine::ClearAudio() {
  if (audioPartial_ != nullptr && pins_[kStreamIndexRawAudio] != nullptr) {
    audioPartial_->dataUsed = audioPartialFill_;
    pins_[kStreamIndexRawAudio]->CompleteBuffer(audioPartial_);
  }
  audioPartial_ = nullptr;
  audioPartialFill_ = 0;
  audioGap_ = FALSE;
  audioPending_ = 0;
}

}  // namespace pelgar
