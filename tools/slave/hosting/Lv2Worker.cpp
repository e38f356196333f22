#include "Lv2Worker.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tovik::slave::hosting {

namespace {

// The worker whose plug-in is running on this thread, and the worker whose
// thread this is: a request is routed by who asks.
thread_local const CLv2Worker* tRunning = nullptr;
thread_local const CLv2Worker* tWorking = nullptr;

// How long the worker thread sleeps between looks when nothing wakes it.
constexpr long kIdleWaitNs = 200L * 1000 * 1000;

}  // namespace

CRecordRing::CRecordRing(size_t capacity) : bytes_(capacity, 0), mask_(capacity - 1) {}

void CRecordRing::Copy(size_t at, const void* from, size_t size) {
  const auto* source = static_cast<const unsigned char*>(from);
  const size_t start = at & mask_;
  const size_t first = std::min(size, bytes_.size() - start);
  std::memcpy(bytes_.data() + start, source, first);
  std::memcpy(bytes_.data(), source + first, size - first);
}

void CRecordRing::CopyOut(size_t at, void* to, size_t size) const {
  auto* target = static_cast<unsigned char*>(to);
  const size_t start = at & mask_;
  const size_t first = std::min(size, bytes_.size() - start);
  std::memcpy(target, bytes_.data() + start, first);
  std::memcpy(target + first, bytes_.data(), size - first);
}

bool CRecordRing::Write(const void* data, uint32_t size) {
  const size_t written = written_.load(std::memory_order_relaxed);
  const size_t read = read_.load(std::memory_order_acquire);
  const size_t need = sizeof size + size_t{size};
  if (need > bytes_.size() - (written - read)) return false;
  Copy(written, &size, sizeof size);
  if (size > 0) Copy(written + sizeof size, data, size);
  written_.store(written + need, std::memory_order_release);
  return true;
}

bool CRecordRing::Read(void* into, uint32_t room, uint32_t* size) {
  for (;;) {
    const size_t read = read_.load(std::memory_order_relaxed);
    const size_t written = written_.load(std::memory_order_acquire);
    if (written - read < sizeof(uint32_t)) return false;
    CopyOut(read, size, sizeof *size);
    const bool fits = *size <= room;
    if (fits && *size > 0) CopyOut(read + sizeof *size, into, *size);
    read_.store(read + sizeof *size + *size, std::memory_order_release);
    if (fits) return true;
  }
}

CLv2Worker::CLv2Worker()
    : requests_(4 * kLargestRecord),
      answers_(4 * kLargestRecord),
      workBuffer_(kLargestRecord),
      answerBuffer_(kLargestRecord) {
  sem_init(&wake_, 0, 0);
}

CLv2Worker::~CLv2Worker() {
  if (thread_.joinable()) {
    stop_.store(true);
    sem_post(&wake_);
    thread_.join();
  }
  sem_destroy(&wake_);
}

void CLv2Worker::Start(const LV2_Worker_Interface* interface, LV2_Handle handle) {
  interface_ = interface != nullptr && interface->work != nullptr ? interface : nullptr;
  handle_ = handle;
  if (interface_ != nullptr && !thread_.joinable()) thread_ = std::thread([this] { Work(); });
}

void CLv2Worker::EnterRun() {
  tRunning = this;
}

void CLv2Worker::LeaveRun() {
  tRunning = nullptr;
}

void CLv2Worker::DeliverAnswers() {
  if (interface_ == nullptr) return;
  uint32_t size = 0;
  while (answers_.Read(answerBuffer_.data(), kLargestRecord, &size)) {
    if (interface_->work_response != nullptr) interface_->work_response(handle_, size, answerBuffer_.data());
  }
  if (interface_->end_run != nullptr) interface_->end_run(handle_);
}

LV2_Worker_Status CLv2Worker::Schedule(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
  auto* self = static_cast<CLv2Worker*>(handle);
  if (self == nullptr || self->interface_ == nullptr) return LV2_WORKER_ERR_UNKNOWN;
  if (size > kLargestRecord || (size > 0 && data == nullptr)) return LV2_WORKER_ERR_NO_SPACE;
  if (tRunning == self) {
    // [audio path] Handed to the worker thread: no lock, no allocation.
    if (!self->requests_.Write(data, size)) return LV2_WORKER_ERR_NO_SPACE;
    sem_post(&self->wake_);
    return LV2_WORKER_SUCCESS;
  }
  if (tWorking == self) {
    // Asked from its own work: worked here, the answers queued as usual.
    return self->interface_->work(self->handle_, &CLv2Worker::Respond, self, size, data);
  }
  // Asked while the plug-in is being made or activated on the connection's
  // thread, where no run is in progress: worked at once, answered at once.
  return self->interface_->work(self->handle_, &CLv2Worker::RespondAtOnce, self, size, data);
}

LV2_Worker_Status CLv2Worker::Respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
  auto* self = static_cast<CLv2Worker*>(handle);
  if (size > kLargestRecord || (size > 0 && data == nullptr)) return LV2_WORKER_ERR_NO_SPACE;
  return self->answers_.Write(data, size) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
}

LV2_Worker_Status CLv2Worker::RespondAtOnce(LV2_Worker_Respond_Handle handle, uint32_t size,
                                            const void* data) {
  auto* self = static_cast<CLv2Worker*>(handle);
  if (self->interface_->work_response == nullptr) return LV2_WORKER_SUCCESS;
  return self->interface_->work_response(self->handle_, size, data);
}

void CLv2Worker::Work() {
  tWorking = this;
  while (!stop_.load()) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += kIdleWaitNs;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    if (sem_timedwait(&wake_, &until) != 0 && errno != ETIMEDOUT && errno != EINTR) continue;
    uint32_t size = 0;
    while (!stop_.load() && requests_.Read(workBuffer_.data(), kLargestRecord, &size)) {
      interface_->work(handle_, &CLv2Worker::Respond, this, size, workBuffer_.data());
    }
  }
}

}  // namespace tovik::slave::hosting
