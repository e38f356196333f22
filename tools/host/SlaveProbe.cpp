#include "SlaveProbe.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "link/TransferBlock.h"

namespace tovik::host {
namespace {

void PutInt(std::vector<unsigned char>& out, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void PutFloat(std::vector<unsigned char>& out, float value) {
  int32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  PutInt(out, bits);
}

// The resolver runs on a thread of its own so that a resolver that hangs
// (a dead name server) cannot hold the probe: past the bound the thread is
// left to finish alone.
struct Resolution {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool ok = false;
  std::vector<probe::Address> addresses;
  std::string error;
};

bool ResolveBounded(const std::string& host, int port, double seconds, std::vector<probe::Address>& addresses,
                    std::string& error, bool& timedOut) {
  timedOut = false;
  auto state = std::make_shared<Resolution>();
  try {
    std::thread([state, host, port]() {
      std::vector<probe::Address> found;
      std::string why;
      const bool ok = probe::Resolve(host, port, found, why);
      std::lock_guard<std::mutex> hold(state->lock);
      state->ok = ok;
      state->addresses = std::move(found);
      state->error = std::move(why);
      state->done = true;
      state->finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    error = "no thread for the resolver";
    return false;
  }
  std::unique_lock<std::mutex> hold(state->lock);
  if (!state->finished.wait_for(hold, std::chrono::duration<double>(seconds),
                                [&]() { return state->done; })) {
    timedOut = true;
    return false;
  }
  addresses = state->addresses;
  error = state->error;
  return state->ok;
}

std::string SecondsText(double seconds) {
  char text[32];
  if (seconds < 1.0)
    std::snprintf(text, sizeof(text), "%.0f ms", seconds * 1000.0);
  else
    std::snprintf(text, sizeof(text), "%g s", seconds);
  return text;
}

std::string AttemptText(const ProbeAttempt& attempt, const ProbeSettings& settings) {
  switch (attempt.outcome) {
    case ProbeOutcome::kRefused:
      return "connection refused by " + attempt.address;
    case ProbeOutcome::kNoAnswer:
      return "no answer from " + attempt.address + " within " + SecondsText(settings.connectSeconds);
    default:
      return "cannot connect to " + attempt.address + (attempt.detail.empty() ? "" : ": " + attempt.detail);
  }
}

}  // namespace

std::vector<unsigned char> ProbeHandshake(const ProbeSettings& settings) {
  std::vector<unsigned char> bytes;
  PutInt(bytes, msgHello);
  bytes.push_back(1);
  bytes.push_back(8);
  PutInt(bytes, msgSetIo);
  PutInt(bytes, settings.inputs);
  PutInt(bytes, settings.outputs);
  PutInt(bytes, 1);
  PutInt(bytes, 1);
  PutInt(bytes, msgSetSampleRate);
  PutFloat(bytes, settings.sampleRate);
  PutInt(bytes, msgSetBlockSize);
  PutInt(bytes, settings.blockSize);
  PutInt(bytes, msgGetInfo);
  return bytes;
}

ProbeOutcome ClassifyAnswer(const unsigned char* bytes, size_t count, bool closed) {
  if (count == 0) return closed ? ProbeOutcome::kClosedAtOnce : ProbeOutcome::kNoHandshakeAnswer;
  // A slave answers msgHello first. Of a partial code, the bytes present must agree.
  static const unsigned char kHelloReply[4] = {static_cast<unsigned char>(msgHelloReply), 0, 0, 0};
  const size_t n = count < 4 ? count : 4;
  return std::memcmp(bytes, kHelloReply, n) == 0 ? ProbeOutcome::kAnswered : ProbeOutcome::kForeignAnswer;
}

ProbeResult ProbeSlave(const std::string& host, int port, const ProbeSettings& settings) {
  ProbeResult result;
  std::vector<probe::Address> addresses;
  bool timedOut = false;
  if (!ResolveBounded(host, port, settings.resolveSeconds, addresses, result.detail, timedOut) ||
      addresses.empty()) {
    result.outcome = timedOut ? ProbeOutcome::kNameTimedOut : ProbeOutcome::kNameNotResolved;
    if (result.detail.empty() && !timedOut) result.detail = "no address";
    result.message = ProbeMessage(host, port, settings, result);
    return result;
  }
  const std::vector<unsigned char> handshake = ProbeHandshake(settings);
  for (const probe::Address& address : addresses) {
    result.attempts.push_back(probe::Try(address, handshake, settings));
    const ProbeOutcome reached = result.attempts.back().outcome;
    if (result.attempts.size() == 1 || static_cast<int>(reached) > static_cast<int>(result.outcome))
      result.outcome = reached;
    // The plug-in stops at the first address that takes the connection.
    if (static_cast<int>(reached) >= static_cast<int>(ProbeOutcome::kClosedAtOnce)) break;
  }
  result.message = ProbeMessage(host, port, settings, result);
  return result;
}

std::string ProbeMessage(const std::string& host, int port, const ProbeSettings& settings,
                         const ProbeResult& result) {
  switch (result.outcome) {
    case ProbeOutcome::kNameNotResolved:
      return "cannot resolve '" + host + "': " + (result.detail.empty() ? "name not found" : result.detail);
    case ProbeOutcome::kNameTimedOut:
      return "cannot resolve '" + host + "': no answer from the name service within " +
             SecondsText(settings.resolveSeconds);
    default:
      break;
  }
  const ProbeAttempt* last = result.attempts.empty() ? nullptr : &result.attempts.back();
  const std::string where = last != nullptr ? last->address : host + ":" + std::to_string(port);
  switch (result.outcome) {
    case ProbeOutcome::kClosedAtOnce:
      return "the slave at " + where +
             " accepted the connection but never activated it (busy: --max-connections reached, or another "
             "program on that port)";
    case ProbeOutcome::kNoHandshakeAnswer:
      return "connected to " + where + " but the slave did not answer the handshake within " +
             SecondsText(settings.answerSeconds);
    case ProbeOutcome::kForeignAnswer:
      return "connected to " + where +
             " but what answered is not a Tovik slave (another program on that port?)";
    case ProbeOutcome::kAnswered:
      return "the slave at " + where +
             " answers its handshake now, yet none of the plug-in's blocks came back (a longer --timeout?)";
    default:
      break;
  }
  // Nothing connected: each address's failure, the single one with a hint.
  std::string text;
  for (const ProbeAttempt& attempt : result.attempts) {
    if (!text.empty()) text += "; ";
    text += AttemptText(attempt, settings);
  }
  if (result.attempts.size() == 1) {
    if (result.outcome == ProbeOutcome::kRefused) text += ": is tovik-slave running there?";
    if (result.outcome == ProbeOutcome::kNoAnswer) text += " (firewall, or the machine is off)";
  }
  return text;
}

}  // namespace tovik::host
