// The LV2 worker extension for one plug-in instance: what the plug-in asks
// for from its run (loading a sample, say) is done on a thread of its own,
// and the answers are handed back on the audio path after the run.
//
// Requests go from the audio thread to the worker thread, answers from the
// worker thread back, each through a fixed ring of its own (one writer, one
// reader, no lock, no allocation). A request the ring cannot hold is refused
// with LV2_WORKER_ERR_NO_SPACE, as the extension allows.
#pragma once

#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace tovik::slave::hosting {

// A ring of byte records with one writer thread and one reader thread.
class CRecordRing {
 public:
  // capacity: a power of two.
  explicit CRecordRing(size_t capacity);
  // [audio path] False when the record does not fit now.
  bool Write(const void* data, uint32_t size);
  // [audio path] The next record into `into` (at most `room` bytes) and its
  // size; false when the ring is empty. A record longer than room is
  // dropped.
  bool Read(void* into, uint32_t room, uint32_t* size);

 private:
  void Copy(size_t at, const void* from, size_t size);
  void CopyOut(size_t at, void* to, size_t size) const;
  std::vector<unsigned char> bytes_;
  const size_t mask_;
  std::atomic<size_t> written_{0};
  std::atomic<size_t> read_{0};
};

class CLv2Worker {
 public:
  // Largest request or answer; larger ones are refused.
  static constexpr uint32_t kLargestRecord = 16384;

  CLv2Worker();
  ~CLv2Worker();
  CLv2Worker(const CLv2Worker&) = delete;
  CLv2Worker& operator=(const CLv2Worker&) = delete;

  // The feature to give the plug-in at instantiation.
  const LV2_Feature* Feature() const { return &feature_; }
  // After instantiation: the plug-in's worker interface (null when it has
  // none: its requests are then refused) and its handle. Starts the thread.
  void Start(const LV2_Worker_Interface* interface, LV2_Handle handle);
  // [audio path] Around the plug-in's run: requests made inside it go to
  // the worker thread, requests made elsewhere on this thread (while it is
  // made or activated) are worked at once.
  void EnterRun();
  void LeaveRun();
  // [audio path] After the run: every answer that has come back, then the
  // plug-in's end_run.
  void DeliverAnswers();

 private:
  static LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data);
  static LV2_Worker_Status Respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data);
  static LV2_Worker_Status RespondAtOnce(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data);
  void Work();

  LV2_Worker_Schedule schedule_{this, &CLv2Worker::Schedule};
  LV2_Feature feature_{LV2_WORKER__schedule, &schedule_};
  const LV2_Worker_Interface* interface_ = nullptr;
  LV2_Handle handle_ = nullptr;
  CRecordRing requests_, answers_;
  std::vector<unsigned char> workBuffer_, answerBuffer_;
  sem_t wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tovik::slave::hosting
